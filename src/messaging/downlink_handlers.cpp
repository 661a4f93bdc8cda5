#include "messaging/downlink_handlers.h"

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "modem/downlink.h"

void install_downlink_handlers() {
  set_downlink_handlers(process_message, process_message_MQTT);
}
