#include "messaging/downlink_handlers.h"

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "modem/downlink.h"

void install_downlink_handlers(IoImage& io, void (*on_unreachable)()) {
  set_downlink_handlers(
      [&io, on_unreachable](char* frame, int32_t mb_num) {
        if (process_message(io, frame, mb_num) == IoResult::kUnreachable) on_unreachable();
      },
      [&io, on_unreachable](MqttDownlink record, int32_t mb_num) {
        if (process_message_MQTT(io, record, mb_num) == IoResult::kUnreachable) on_unreachable();
      });
}
