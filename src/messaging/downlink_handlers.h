// Start-up hands the two command handlers to the receive dispatcher, which
// does not know the messaging module by name.
#pragma once

class AtChannel;
class ReportBook;

// Installs process_message (UDP answers) and process_message_MQTT (MQTT
// commands) as the channel's downlink handlers, both on book.
void install_downlink_handlers(AtChannel& at, ReportBook& book);
