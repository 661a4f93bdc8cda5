// Handling of DO/AO write commands that arrive as MQTT publications: the new
// values are written when they differ from the session's image, and "DO_ACK"
// or "AO_ACK" is left for the report loop to publish.
#pragma once

#include <cstdint>
#include <span>

#include "messaging/downlink.h"
#include "modbus/modbus_io.h"

class ReportBook;

// Runs on the main thread, inside the receive dispatcher; the mapping names
// the sessions, the devices are passed on to the write-back; the
// acknowledgement is queued in book. Answers the write-back's result (kOk
// when nothing was written).
IoResult process_message_MQTT(ReportBook& book, IoImage& io, const Mapping& mapping,
                              std::span<const MbDevice> devices, MqttDownlink record);
