// The program configuration file, read by line position.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"

// The file is cut into lines as a fixed 128-byte line buffer cuts it.
inline constexpr size_t kProgLineBuffer = 128;

// The settings in the file's text; a text value that does not fit its field
// refuses the file. file: the name the refusal shows.
ConfResult<Settings> parse_prog_conf(std::string_view text, const char* file);

// The refusal of settings whose texts would break the AT command they are
// sent in (a double quote, ";", a control character, or "," where the text is
// not quoted): the APN, the selected transport's host, and for MQTT the
// topics and the credentials when they are sent. Never shows the text itself
// (it may be the password).
std::optional<Refusal> refuse_at_breaking_texts(const Settings& settings, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT), then
// refuses AT-breaking texts as above.
ConfResult<Settings> read_prog_conf(const char* path);
