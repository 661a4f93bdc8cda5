#include "messaging/downlink_handlers.h"

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "modem/at_link.h"

void install_downlink_handlers(AtChannel& at, ReportBook& book, IoImage& io,
                               void (*on_unreachable)()) {
  at.on_downlink(
      [&book, &io, on_unreachable](char* frame, int32_t mb_num) {
        if (process_message(book, io, frame, mb_num) == IoResult::kUnreachable) on_unreachable();
      },
      [&book, &io, on_unreachable](MqttDownlink record, int32_t mb_num) {
        if (process_message_MQTT(book, io, record, mb_num) == IoResult::kUnreachable) {
          on_unreachable();
        }
      });
}
