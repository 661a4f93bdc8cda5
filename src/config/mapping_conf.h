// The mapping file (device channels grouped into sessions), the default
// mapping built from the device records, and the per-session slot counts.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/records.h"

using DeviceTable = std::array<MbDevice*, kMaxDevices>;

// Which read of the mapping file this is. At start-up, a file whose
// default_mapping is non-zero is about to be regenerated: that read only has to
// survive (at most 5 sessions and 32 slots per line are taken, nothing else is
// refused). The mapping actually used (a file with default_mapping 0, or the
// read-back of a generated file) must fit the records and the devices.
enum class MappingRead { kStartup, kReadBack };

// Parses one mapping line into a session's slots, character by character: a
// character above '/' is a digit (value: code - '0'), anything else ends the
// number and moves the position on by one; position p is slot p / 2, dev_no
// when even, ch_no when odd; a second digit makes first * 10 + second, a third
// starts over. Positions the line does not reach keep their value. Returns
// false when a digit lands past the 32nd slot (it is not stored).
bool parse_map_slots(std::string_view line, MbMapEntry (&slots)[kMaxSlots]);

// Reads the mapping file's text into io (slots keep what the lines do not
// reach). devices / device_count are the device records the slots must name.
// The console text is appended to console. Returns the refusal line when the
// mapping does not fit.
std::optional<std::string> parse_mb_mapping_conf(std::string_view text, MappingRead when,
                                                 const DeviceTable& devices, int32_t device_count,
                                                 MbIoTable& io, std::string& console);

// The file as write_mb_mapping_conf writes it (CR LF line ends).
std::string format_mb_mapping_conf(const MbIoTable& io);

// Where the default-mapping builder stands between sessions: per type (DO, DI,
// AO, AI) the resume point {device index, channel index} and the remain flag.
struct DefaultMappingState {
  int32_t tmp[4][2] = {};
  int32_t remain[4] = {};
};

// Builds session `session` of the default mapping into io's texts and counts:
// every waiting channel of every device, 32 per type, the rest "0-0,".
void build_default_session(MbIoTable& io, int32_t session, const DeviceTable& devices,
                           int32_t device_count, DefaultMappingState& state, std::string& console);

// Builds sessions 0, 1, ... (session ID = index) while any remain flag is set,
// and sets session_count. A mapping that would need more than 5 sessions is
// refused (the refusal line is returned; the built sessions stay).
std::optional<std::string> build_default_sessions(MbIoTable& io, const DeviceTable& devices,
                                                  int32_t device_count, DefaultMappingState& state,
                                                  std::string& console);

// Slot counting: for every session below session_count, each type's count is
// the 1-based position of its last slot with a non-zero dev_no (0 if none).
void count_session_slots(MbIoTable& io);

// --- on the globals (modbusIO, modbus_dev, mb_*_tmp, mb_*_remain) ----------

// Reads configFile_mb_mapping into modbusIO, checking against the first mb_num
// devices. A file that cannot be opened or does not fit ends the process with
// status 1.
void read_mb_mapping_conf(MappingRead when = MappingRead::kStartup);

// Builds one session of the default mapping from the device records.
void set_default_mapping(int32_t session, int32_t device_count);

// The default-mapping loop of start-up: builds every session the devices need
// and sets session_count; returns the number of sessions built. More than 5
// sessions end the process with status 1.
int32_t build_default_mapping(int32_t device_count);

// Rewrites configFile_mb_mapping from modbusIO. A file that cannot be written
// ends the process with status 1.
void write_mb_mapping_conf();
