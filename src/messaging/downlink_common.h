// What the UDP and the MQTT command handlers share: finding the session a
// command names, comparing its values with the image before writing them
// back, and printing their console lines.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "config/configuration.h"
#include "modbus/io_image.h"

// Index (0 to session_count - 1) of the mapping's first session that holds the
// session ID, or nullopt when no configured session does. A command for a session
// nobody configured is refused rather than applied to the first session, which
// would drive outputs nobody addressed.
std::optional<int> find_session_index(const Mapping& mapping, int32_t session_id);

// Prints the refusal of a command for a session ID that no session holds.
void refuse_unknown_session(int32_t session_id);

// Writes a command's new DO (uint8_t) or AO (uint16_t) values back when one
// of the session's first `slots` differs from its image; otherwise prints
// "DO (AO) values are same. ..." and writes nothing. `announce`: say "DO (AO)
// values are different. ..." before writing (the MQTT handler does).
template <typename T>
IoResult write_if_changed(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                          int session, int32_t slots, const T* values, bool announce);
