// The Modbus device file, read by line position: a count line, then per device
// a header line and 19 value lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/records.h"

// What the device file holds, and what reading it prints.
struct MbConf {
  int32_t count = 0;  // as the count line declares it
  std::array<MbDevice, kMaxDevices> devices{};
  int32_t remain[4] = {};            // DO, DI, AO, AI remain flags raised
  std::string console;               // the reader's console text, in order
  std::optional<std::string> error;  // the refusal line, when the file does not fit
};

// Reads the file's text. On a refusal, console holds what was printed up to it.
MbConf parse_mb_conf(std::string_view text);

// Reads configFile_mb (under QUORVANE_ROOT) into modbus_dev, raises
// mb_do_remain ... mb_ai_remain, and returns the device count. A file that
// cannot be opened or does not fit ends the process with status 1.
int32_t read_mb_conf();
