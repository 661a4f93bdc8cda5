// The program configuration file, read by line position.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/records.h"

// Fills info from the file's text. Returns the refusal line when a text value
// does not fit its field; info is then partly filled.
std::optional<std::string> parse_prog_conf(std::string_view text, ProgInfo& info);

// Reads configFile_prog (under QUORVANE_ROOT) into programInfo. A file that
// cannot be opened or does not fit ends the process with status 1.
void read_prog_conf();
