// The Modbus device file, read by line position: a count line, then per device
// a header line and 19 value lines.
#pragma once

#include <cstddef>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"

// The file is cut into lines as a fixed 50-byte line buffer cuts it.
inline constexpr size_t kMbLineBuffer = 50;

// The devices in the file's text, as many as the count line declares; its
// console text is the count and each device's header. file: the name a
// refusal shows.
ConfResult<DeviceList> parse_mb_conf(std::string_view text, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT).
ConfResult<DeviceList> read_mb_conf(const char* path);
