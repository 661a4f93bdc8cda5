// The program configuration file, read by line position.
#pragma once

#include <cstddef>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"

// The file is cut into lines as a fixed 128-byte line buffer cuts it.
inline constexpr size_t kProgLineBuffer = 128;

// The settings in the file's text; a text value that does not fit its field
// refuses the file. file: the name the refusal shows.
ConfResult<Settings> parse_prog_conf(std::string_view text, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT).
ConfResult<Settings> read_prog_conf(const char* path);
