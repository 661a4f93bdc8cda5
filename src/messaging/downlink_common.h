// What the UDP and the MQTT command handlers share: finding the session a
// command names, and printing their console lines.
#pragma once

#include <cstdint>
#include <optional>

#include "config/configuration.h"

// Index (0 to session_count - 1) of the mapping's first session that holds the
// session ID, or nullopt when no configured session does. A command for a session
// nobody configured is refused rather than applied to the first session, which
// would drive outputs nobody addressed.
std::optional<int> find_session_index(const Mapping& mapping, int32_t session_id);

// Prints the refusal of a command for a session ID that no session holds.
void refuse_unknown_session(int32_t session_id);
