// Downlink commands between the report decoders, which decode and queue them
// inside the AT channel's report handling, and the main loop, which applies
// them (Modbus write-back, acknowledgement) between AT lines. One thread: the
// main thread both queues and applies.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <variant>

#include "messaging/downlink.h"

class DownlinkQueue {
 public:
  // The channel applies after every report line, so one command at most
  // waits; a burst beyond this is refused with a console line, never lost
  // without a word.
  static constexpr size_t kCapacity = 8;

  // Copies of what the decoders hand over: the unscrambled frame (its text up
  // to the NUL) or the parsed MQTT command. False when the queue was full.
  bool push_udp(const char* frame);
  bool push_mqtt(const MqttDownlink& record);

  // Applies every queued command, oldest first, through the handlers that
  // write back and acknowledge. A handler may end the process.
  void apply(const DownlinkHandlers& to);

  size_t size() const { return commands_.size(); }

  // Decoders that queue here (their json_commands as given).
  DownlinkHandlers decoders(bool json_commands);

 private:
  bool make_room(const char* what);

  std::deque<std::variant<std::string, MqttDownlink>> commands_;
};

// Stages of a downlink command, stamped on standard error with the monotonic
// clock when QUORVANE_DOWNLINK_TRACE is set (the latency bench sets it);
// without it nothing is printed.
void trace_downlink(const char* stage);
