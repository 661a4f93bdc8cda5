// The seam between the report decoders (messaging/downlink_reports.h) and the
// downlink processing: every usable UDP frame and MQTT command goes to one of
// two handlers. Start-up installs process_message and process_message_MQTT;
// an empty one stands for a default that only logs.
#pragma once

#include <cstdint>
#include <functional>

// An MQTT command as the "+EMQPUB:" handler takes it apart.
struct MqttDownlink {
  int32_t session_id;  // session ID named by the command
  char type[12];       // "DO", "AO", ... (at most 11 characters)
  uint32_t length;     // characters in data
  char data[1024];     // the value text
};

// frame: the unscrambled frame, a writable NUL-terminated text (split in place
// by the handler).
using UdpFrameHandler = std::function<void(char* frame)>;
using MqttCommandHandler = std::function<void(MqttDownlink record)>;

// The two handlers in force; an empty one stands for its default.
struct DownlinkHandlers {
  UdpFrameHandler udp;
  MqttCommandHandler mqtt;
  // MQTT commands arrive wrapped in JSON (the settings' mqtt_cht) or as plain
  // text named by their topic.
  bool json_commands = false;

  void deliver_udp_frame(char* frame) const;
  void deliver_mqtt_command(const MqttDownlink& record) const;
};
