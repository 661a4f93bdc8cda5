#include "modem/downlink.h"

#include <cstdio>
#include <utility>

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

// Installed at start-up, before the threads exist, and used by the main thread
// only (the dispatcher runs there).
UdpFrameHandler udp_handler = log_udp_frame;
MqttCommandHandler mqtt_handler = log_mqtt_command;

}  // namespace

void set_downlink_handlers(UdpFrameHandler udp, MqttCommandHandler mqtt) {
  udp_handler = udp ? std::move(udp) : UdpFrameHandler(log_udp_frame);
  mqtt_handler = mqtt ? std::move(mqtt) : MqttCommandHandler(log_mqtt_command);
}

void deliver_udp_frame(char* frame, int32_t mb_num) {
  udp_handler(frame, mb_num);
}

void deliver_mqtt_command(const MqttDownlink& record, int32_t mb_num) {
  mqtt_handler(record, mb_num);
}
