#include "messaging/downlink_handlers.h"

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "modem/at_link.h"

void install_downlink_handlers(AtChannel& at, ReportBook& book) {
  at.on_downlink(
      [&book](char* frame, int32_t mb_num) { process_message(book, frame, mb_num); },
      [&book](MqttDownlink record, int32_t mb_num) { process_message_MQTT(book, record, mb_num); });
}
