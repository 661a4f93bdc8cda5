#include "messaging/downlink_handlers.h"

#include <memory>

#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_queue.h"
#include "messaging/downlink_reports.h"
#include "messaging/downlink_udp.h"
#include "modem/at_link.h"

void install_downlink_handlers(AtChannel& at, ReportBook& book, IoImage& io, const Mapping& mapping,
                               const DeviceList& devices, void (*on_unreachable)(),
                               bool json_commands) {
  // The decoders only queue; the channel's step between lines applies. It
  // runs after every report line, so the queue is empty when this installs
  // again.
  auto queue = std::make_shared<DownlinkQueue>();
  install_report_decoders(at, queue->decoders(json_commands));
  DownlinkHandlers apply{[&book, &io, &mapping, &devices, on_unreachable](char* frame) {
                           IoResult r = process_message(book, io, mapping, devices, frame);
                           if (r == IoResult::kUnreachable) on_unreachable();
                         },
                         [&book, &io, &mapping, &devices, on_unreachable](MqttDownlink record) {
                           IoResult r = process_message_MQTT(book, io, mapping, devices, record);
                           if (r == IoResult::kUnreachable) on_unreachable();
                         },
                         json_commands};
  at.between_lines([queue, apply = std::move(apply)] { queue->apply(apply); });
}
