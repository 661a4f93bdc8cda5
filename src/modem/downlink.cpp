#include "modem/downlink.h"

#include <cstdio>

#include "common/console.h"
#include "modem/modem_texts.h"

namespace {

void log_udp_frame(char* frame, int32_t mb_num) {
  console().print(kTxtUdpFrameUnhandled, mb_num, frame);
}

void log_mqtt_command(MqttDownlink record, int32_t mb_num) {
  console().print(kTxtMqttCommandUnhandled, mb_num, record.session_id, record.type, record.length,
                  record.data);
}

}  // namespace

void DownlinkHandlers::deliver_udp_frame(char* frame, int32_t mb_num) const {
  if (udp) {
    udp(frame, mb_num);
  } else {
    log_udp_frame(frame, mb_num);
  }
}

void DownlinkHandlers::deliver_mqtt_command(const MqttDownlink& record, int32_t mb_num) const {
  if (mqtt) {
    mqtt(record, mb_num);
  } else {
    log_mqtt_command(record, mb_num);
  }
}
