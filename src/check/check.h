// quorvane-check: commissioning checks of a gateway before it goes to the
// field. The three files are read with the daemon's own readers, exactly as
// start-up reads them, but nothing is ever written; a small lexical pass over
// the files' lines adds the warnings the readers cannot give (the readers go
// by position and never look at names).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/conf_text.h"
#include "config/configuration.h"
#include "config/options_conf.h"
#include "config/prog_conf.h"

struct Warning {
  std::string file;  // as configured
  int line = 0;      // as the reader counts lines; 0: the file as a whole
  std::string text;
  bool note = false;  // informational: never counted, not even with --strict
};

// Where each position of the program file came from: its line (0 when the
// file ended before it) and the line's text without its line end.
struct ProgLine {
  int line = 0;
  std::string text;
};

// A device block's header line in the device file.
struct DeviceHeader {
  int line = 0;
  std::string text;
};

struct FilesCheck {
  std::optional<ConfResult<Settings>> prog;
  std::optional<ConfResult<Options>> options;
  std::optional<ConfResult<DeviceList>> devices;
  std::optional<ConfResult<Mapping>> mapping;  // none when the devices are refused
  std::vector<ProgLine> prog_lines;            // one per position 0 to 25
  std::vector<DeviceHeader> headers;
  std::vector<Warning> warnings;

  // The refusal start-up would end with (the first file that is refused), or null.
  const Refusal* refusal() const;
};

// Reads the three files (paths resolved under QUORVANE_ROOT) and checks them.
FilesCheck check_files();

// The text quorvane-check shows for a program file field (the MQTT
// password, which it never prints, as "***").
std::string prog_value(const Settings& settings, const Field<Settings>& field);

// The Modbus address a session slot reads: the block start plus the channel,
// or, for the coils (holding registers) a device also reports as inputs, the
// coil's (register's) address; `aliased` then says so.
int32_t slot_address(const MbDevice& device, int type, int channel, bool& aliased);

// --- devices --------------------------------------------------------------
struct DeviceRead {
  bool connected = false;
  bool answered = false;         // connected and every read succeeded
  std::string error;             // the exchange's error lines and what the library said
  double ms = 0;                 // the exchange, connection to close
  std::vector<std::string> log;  // the exchange's console lines
  uint8_t do_buf[kMaxSlots] = {};
  uint8_t di_buf[kMaxSlots] = {};
  uint16_t ao_buf[kMaxSlots] = {};
  uint16_t ai_buf[kMaxSlots] = {};
};

// One read-only exchange with every device, in file order.
std::vector<DeviceRead> read_devices(const DeviceList& devices);

// A session's DI or AI values as the next report would carry them: the used
// slots, each from the device read (0 for empty slots); `unknown` marks slots
// whose device did not answer.
std::vector<uint16_t> session_values(const Mapping& mapping, int session, int type,
                                     const DeviceList& devices,
                                     const std::vector<DeviceRead>& reads,
                                     std::vector<bool>& unknown);

// --- output -----------------------------------------------------------------
struct CheckOptions {
  bool devices = false;
  bool json = false;
  bool strict = false;
  std::string root;
};

// Prints the report of `files` (and of the device reads for the devices
// command) on standard output; returns the exit status.
int report(const CheckOptions& options, const FilesCheck& files,
           const std::vector<DeviceRead>* reads);
