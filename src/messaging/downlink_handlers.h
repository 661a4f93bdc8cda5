// Start-up installs the report decoders on the AT channel, which knows the
// reports' prefixes only: they decode and queue each command; the channel's
// step between lines applies the queue through the two command handlers.
#pragma once

#include "config/configuration.h"
#include "modbus/io_image.h"

class AtChannel;
class ReportBook;

// Installs the queueing decoders and, as the channel's step between lines,
// the apply of process_message (UDP answers) and process_message_MQTT (MQTT
// commands): both on book, on the image
// they compare with and write back through, the mapping and the devices. All
// are kept by reference; installing again replaces both handlers (start-up
// installs them on empty lists, then on the lists read). A write-back that cannot
// reach a device calls on_unreachable (app's decision to end the process).
// MQTT commands arrive wrapped in JSON (json_commands: the settings'
// mqtt_cht) or as plain text named by their topic.
void install_downlink_handlers(AtChannel& at, ReportBook& book, IoImage& io, const Mapping& mapping,
                               const DeviceList& devices, void (*on_unreachable)(),
                               bool json_commands = false);
// The handlers outlive the call: a temporary device list would dangle.
void install_downlink_handlers(AtChannel&, ReportBook&, IoImage&, const Mapping&, DeviceList&&,
                               void (*)(), bool = false) = delete;
