#include "messaging/downlink_handlers.h"

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "modem/downlink.h"

void install_downlink_handlers(IoImage& io, const Mapping& mapping, const DeviceList& devices,
                               void (*on_unreachable)()) {
  set_downlink_handlers(
      [&io, &mapping, &devices, on_unreachable](char* frame) {
        IoResult r = process_message(io, mapping, devices, frame);
        if (r == IoResult::kUnreachable) on_unreachable();
      },
      [&io, &mapping, &devices, on_unreachable](MqttDownlink record) {
        IoResult r = process_message_MQTT(io, mapping, devices, record);
        if (r == IoResult::kUnreachable) on_unreachable();
      });
}
