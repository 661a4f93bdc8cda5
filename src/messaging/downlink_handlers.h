// Start-up hands the two command handlers to the receive dispatcher, which
// does not know the messaging module by name.
#pragma once

#include "modbus/io_image.h"

class AtChannel;
class ReportBook;

// Installs process_message (UDP answers) and process_message_MQTT (MQTT
// commands) as the channel's downlink handlers, both on book, comparing with
// and writing back through io. A write-back that cannot reach a device calls
// on_unreachable (app's decision to end the process).
void install_downlink_handlers(AtChannel& at, ReportBook& book, IoImage& io,
                               void (*on_unreachable)());
