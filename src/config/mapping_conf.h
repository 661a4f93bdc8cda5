// The mapping file (device channels grouped into sessions), the default
// mapping built from the devices, and the file's atomic rewrite.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"

// The file is cut into lines as a fixed 200-byte line buffer cuts it.
inline constexpr size_t kMappingLineBuffer = 200;

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

// The mapping in the file's text, with its slot counts; the slots of a used
// mapping name only the given devices and their channels. The console text
// echoes the session count, IDs, sections and lines. file: the name a refusal
// shows.
ConfResult<Mapping> parse_mb_mapping_conf(std::string_view text, MappingRead when,
                                          std::span<const MbDevice> devices, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT).
ConfResult<Mapping> read_mb_mapping_conf(const char* path, MappingRead when,
                                         std::span<const MbDevice> devices);

// The file as write_mb_mapping_conf writes it (CR LF line ends).
std::string format_mb_mapping_conf(const Mapping& mapping);

// The default mapping of the devices: sessions 0, 1, ... (session ID = index),
// each taking every waiting channel of every device, 32 per type, the rest
// "0-0,"; default_mapping as given. Texts and counts are set, slots are not
// (they come from reading the written file back). A mapping that would need
// more than 5 sessions refuses device_file, the file that holds the devices.
ConfResult<Mapping> build_default_mapping(std::span<const MbDevice> devices,
                                          int32_t default_mapping, const char* device_file);

// How start-up stores a regenerated mapping and reads it back: the daemon
// writes the file and reads it again; a check that must not write parses the
// text the daemon would write.
using MappingStore = std::function<ConfResult<Mapping>(const Mapping& built)>;

// The mapping start-up runs with: the file at path as it stands or, when it
// asks for the default mapping, one built from the devices at every start,
// stored and read back, so that the running mapping is exactly what the file
// then holds. device_file: the file a mapping too large for the records
// refuses. The console text is every step's, in order.
ConfResult<Mapping> read_startup_mapping(const char* path, const char* device_file,
                                         std::span<const MbDevice> devices,
                                         const MappingStore& store);

// Slot counting: for every session below session_count, each type's count is
// the 1-based position of its last slot with a non-zero dev_no (0 if none).
void count_session_slots(Mapping& mapping);

// Replaces the file at path (resolved under QUORVANE_ROOT) whole with the
// mapping: temporary file, sync, rename, folder sync. On failure the old file
// is left as it was and the refusal says which step failed and why.
std::optional<Refusal> write_mb_mapping_conf(const Mapping& mapping, const char* path);
