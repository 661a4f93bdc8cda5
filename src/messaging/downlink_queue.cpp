#include "messaging/downlink_queue.h"

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/console.h"

namespace {

constexpr char kTxtQueueFull[] = "[ERROR] %s command refused: %zu downlink commands waiting!!\n";
// A frame as the decoders hand it over: at most 1024 bytes before its NUL.
constexpr size_t kFrameCap = 1024;

}  // namespace

bool DownlinkQueue::make_room(const char* what) {
  if (commands_.size() < kCapacity) return true;
  console().print(kTxtQueueFull, what, commands_.size());
  return false;
}

bool DownlinkQueue::push_udp(const char* frame) {
  if (!make_room("UDP")) return false;
  commands_.emplace_back(std::string(frame, strnlen(frame, kFrameCap)));
  trace_downlink("queued");
  return true;
}

bool DownlinkQueue::push_mqtt(const MqttDownlink& record) {
  if (!make_room("MQTT")) return false;
  commands_.emplace_back(record);
  trace_downlink("queued");
  return true;
}

void DownlinkQueue::apply(const DownlinkHandlers& to) {
  while (!commands_.empty()) {
    auto command = std::move(commands_.front());
    commands_.pop_front();
    trace_downlink("apply");
    if (auto* frame = std::get_if<std::string>(&command)) {
      to.deliver_udp_frame(frame->data());
    } else {
      to.deliver_mqtt_command(std::get<MqttDownlink>(command));
    }
    trace_downlink("applied");
  }
}

DownlinkHandlers DownlinkQueue::decoders(bool json_commands) {
  return {[this](char* frame) { push_udp(frame); },
          [this](const MqttDownlink& record) { push_mqtt(record); }, json_commands};
}

void trace_downlink(const char* stage) {
  static const bool on = std::getenv("QUORVANE_DOWNLINK_TRACE") != nullptr;
  if (!on) return;
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  char text[96];
  bformat(text, sizeof text, "downlink-trace %s %.6f\n", stage,
          std::chrono::duration<double>(now).count());
  console().error(text);
}
