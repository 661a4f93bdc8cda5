#include "modem/downlink.h"

#include <cstdio>

#include "common/console.h"
#include "modem/modem_texts.h"

namespace {

void log_udp_frame(char* frame) {
  console().print(kTxtUdpFrameUnhandled, frame);
}

void log_mqtt_command(MqttDownlink record) {
  console().print(kTxtMqttCommandUnhandled, record.session_id, record.type, record.length,
                  record.data);
}

}  // namespace

void DownlinkHandlers::deliver_udp_frame(char* frame) const {
  if (udp) {
    udp(frame);
  } else {
    log_udp_frame(frame);
  }
}

void DownlinkHandlers::deliver_mqtt_command(const MqttDownlink& record) const {
  if (mqtt) {
    mqtt(record);
  } else {
    log_mqtt_command(record);
  }
}
