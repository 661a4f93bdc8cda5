// Handling of DO/AO write commands that arrive as MQTT publications: the new
// values are written when they differ from the session's image, and "DO_ACK"
// or "AO_ACK" is left for the report loop to publish.
#pragma once

#include <cstdint>

#include "modem/downlink.h"

class ReportBook;

// Runs on the main thread, inside the receive dispatcher; mb_num is passed on
// to the write-back; the acknowledgement is queued in book.
void process_message_MQTT(ReportBook& book, MqttDownlink record, int32_t mb_num);
