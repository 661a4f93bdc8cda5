#include "modem/downlink.h"

#include <cstdio>
#include <utility>

#include "modem/modem_texts.h"

namespace {

void log_udp_frame(char* frame) {
  std::printf(kTxtUdpFrameUnhandled, frame);
}

void log_mqtt_command(MqttDownlink record) {
  std::printf(kTxtMqttCommandUnhandled, record.session_id, record.type, record.length,
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

void deliver_udp_frame(char* frame) {
  udp_handler(frame);
}

void deliver_mqtt_command(const MqttDownlink& record) {
  mqtt_handler(record);
}
