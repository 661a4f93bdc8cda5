#include "messaging/downlink.h"

#include <cstdio>

#include "common/console.h"

namespace {

constexpr char kTxtUdpFrameUnhandled[] = "Downlink frame not handled: %s\n";
constexpr char kTxtMqttCommandUnhandled[] =
    "MQTT command not handled: session %d, type %s, length %u, data %s\n";

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
