#include "config/mapping_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>

#include "common/console.h"
#include "common/paths.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "config/conf_text.h"
#include "config/io_type.h"

namespace {

// Console texts of the mapping reader and of the default-mapping builder.
constexpr const char* kTotalLine = "Total Session = %d\n";
constexpr const char* kSessionLine = "Session ID = %d\n";
constexpr const char* kSectionEcho = "%s";
constexpr const char* kMapEcho = "%s\n";
constexpr const char* kFullLine = "%s value is full!! Remain %d %s value!!\n";
constexpr const char* kBuiltSession = "Session ID number = %d\n";
constexpr const char* kBuiltValues = "%02d %s values:\n%s\n";
constexpr const char* kEmptyEntry = "0-0,";
constexpr const char* kEntry = "%d-%d,";

// The file as written.
constexpr const char* kFileDefault = "default_mapping=%d\r\n";
constexpr const char* kFileSessions = "sessionALL_mapping=%d\r\n";
constexpr const char* kFileSessionId = "sessionID_mapping=%d\r\n";
constexpr const char* kFileSection = "[%s]\r\n%s\r\n";

// Refusals: what follows "Configure file <file>: line <n>"...
constexpr const char* kNoEquals = " has no \"=\", no %s!!";
constexpr const char* kEndsEarly = ": the file ends before %s!!";
constexpr const char* kBadSessions = ": session count %d, 0 to %d fit!!";
constexpr const char* kTooManyEntries = ": the %s line holds more than %d entries!!";
constexpr const char* kUnknownDevice = ": %s entry %d names device %d, %d configured!!";
constexpr const char* kUnknownChannel =
    ": %s entry %d names channel %d of device %d, which has %d!!";
// ... and what follows "Configure file <file>: ".
constexpr const char* kTooManySessions =
    "the devices hold %d %s channels, a default mapping holds at most %d!!";
// What failed while the file was replaced, and why (strerror).
constexpr const char* kWriteFailed = "%s failed (%s), the file is left as it was!!";

constexpr size_t kLineBuffer = kMappingLineBuffer;

// One read of the mapping file: the line reader, and whether a misfit is
// refused (the mapping that will be used) or passed over (a file about to be
// regenerated).
class MappingReader {
 public:
  MappingReader(std::string_view text, std::span<const MbDevice> devices, const char* file)
      : lines_(text, kLineBuffer), devices_(devices), file_(file) {}

  void set_strict(bool strict) { strict_ = strict; }
  bool strict() const { return strict_; }
  int line_number() const { return lines_.line_number(); }
  std::string& console() { return console_; }

  void refuse(Refusal r) { error_ = std::move(r); }
  // What the read gives back: the refusal once one is set, else the mapping
  // with its slot counts (a file about to be regenerated may end anywhere).
  ConfResult<Mapping> finish(Mapping& io) {
    if (error_) return {std::move(*error_), std::move(console_)};
    count_session_slots(io);
    return {io, std::move(console_)};
  }

  // The next line; when the file has ended, nullopt and (strict) the refusal
  // naming what was still to come.
  std::optional<std::string_view> line(const char* missing) {
    auto l = lines_.next();
    if (!l && strict_) {
      error_ = refusal_at(file_, lines_.line_number() + 1, kEndsEarly, missing);
    }
    return l;
  }

  // The value of a "name=value" line as atoi reads it; a line without "=" is
  // refused (strict) or reads as 0.
  std::optional<int32_t> number(std::string_view line, const char* what) {
    auto value = conf_value(line);
    if (value) return read_int(*value);
    if (strict_) {
      error_ = refusal_at(file_, lines_.line_number(), kNoEquals, what);
      return std::nullopt;
    }
    return 0;
  }

  // Stores, echoes and parses one mapping line; false on a refusal.
  bool mapping_line(std::string_view line, Mapping& io, IoType t, int s) {
    char(&text)[200] = map_text(io, t, s);
    std::memset(text, 0, sizeof text);
    copy_text(text, sizeof text, line);  // at most 199 characters: always fits
    append_console(console_, kMapEcho, text);
    MbMapEntry(&slots)[kMaxSlots] = map_slots(io, t, s);
    bool fits = parse_map_slots(line, slots);
    if (!strict_) return true;
    if (!fits) {
      error_ = refusal_at(file_, lines_.line_number(), kTooManyEntries, io_type_name(t), kMaxSlots);
      return false;
    }
    return check_slots(slots, t);
  }

 private:
  // Every used slot names a configured device and one of its channels.
  bool check_slots(const MbMapEntry (&slots)[kMaxSlots], IoType t) {
    for (int j = 0; j < kMaxSlots; ++j) {
      const MbMapEntry& e = slots[j];
      if (e.dev_no == 0) continue;
      const int device_count = static_cast<int>(devices_.size());
      if (e.dev_no > device_count) {
        error_ = refusal_at(file_, lines_.line_number(), kUnknownDevice, io_type_name(t), j + 1,
                            e.dev_no, device_count);
        return false;
      }
      int32_t channels = io_count(devices_[e.dev_no - 1u], t);
      // Channels are 1-based: channel 0 of a real device names nothing.
      if (e.ch_no == 0 || e.ch_no > channels) {
        error_ = refusal_at(file_, lines_.line_number(), kUnknownChannel, io_type_name(t), j + 1,
                            e.ch_no, e.dev_no, channels);
        return false;
      }
    }
    return true;
  }

  ConfLineReader lines_;
  // Until line 1 says otherwise, the mapping is one that will be used.
  bool strict_ = true;
  std::span<const MbDevice> devices_;
  const char* file_;
  std::string console_;
  std::optional<Refusal> error_;
};

// Where the default-mapping builder stands in one type between sessions: the
// device and channel to resume at, and whether channels are still waiting.
struct TypeCursor {
  int32_t device = 0;
  int32_t channel = 0;
  bool waiting = false;
};
using DefaultMappingState = std::array<TypeCursor, 4>;  // DO, DI, AO, AI

bool any_waiting(const DefaultMappingState& state) {
  return std::any_of(state.begin(), state.end(), [](const TypeCursor& c) { return c.waiting; });
}

// Builds session `session` of the default mapping into the mapping's texts and
// counts: every waiting channel of every device, 32 per type, the rest "0-0,".
void build_default_session(Mapping& io, int32_t session, std::span<const MbDevice> devices,
                           DefaultMappingState& state, std::string& console) {
  const auto device_count = static_cast<int32_t>(devices.size());
  for (IoType t : kIoTypes) {
    std::memset(map_text(io, t, session), 0, sizeof map_text(io, t, session));
    map_num(io, t, session) = 0;
  }
  for (IoType t : kIoTypes) {
    TypeCursor& cursor = state[static_cast<size_t>(io_index(t))];
    if (!cursor.waiting) continue;
    char(&text)[200] = map_text(io, t, session);
    int32_t count = 0;
    const int32_t first_device = cursor.device;
    bool full = false;
    for (int32_t d = first_device; d < device_count && !full; ++d) {
      int32_t channels = io_count(devices[static_cast<size_t>(d)], t);
      if (channels == 0) {
        cursor.waiting = false;
        continue;
      }
      for (int32_t k = d == first_device ? cursor.channel : 0; k < channels; ++k) {
        if (count >= kMaxSlots) {
          cursor.device = d;
          cursor.channel = k;
          append_console(console, kFullLine, io_type_name(t), channels - k, io_type_name(t));
          cursor.waiting = true;
          full = true;
          break;
        }
        cursor.waiting = false;
        bappend(text, sizeof text, kEntry, d + 1, k + 1);
        ++count;
      }
    }
    map_num(io, t, session) = *SlotCount::of(count);  // never past kMaxSlots: full above
  }
  for (IoType t : kIoTypes) {
    for (int32_t k = map_num(io, t, session); k < kMaxSlots; ++k) {
      bappend(map_text(io, t, session), sizeof map_text(io, t, session), "%s", kEmptyEntry);
    }
  }
  append_console(console, kBuiltSession, session);
  for (IoType t : kIoTypes) {
    append_console(console, kBuiltValues, int{map_num(io, t, session)}, io_type_name(t),
                   map_text(io, t, session));
  }
}

}  // namespace

bool parse_map_slots(std::string_view line, MbMapEntry (&slots)[kMaxSlots]) {
  constexpr size_t kPositions = size_t{2} * kMaxSlots;
  size_t pos = 0;
  int digits = 0;  // digits of the current number so far
  bool fits = true;
  for (char ch : line) {
    auto c = static_cast<unsigned char>(ch);
    if (c <= '/') {  // a separator ends the number and moves the position
      ++pos;
      digits = 0;
      continue;
    }
    auto value = static_cast<uint8_t>(c - '0');
    if (pos >= kPositions) {
      fits = false;
      continue;
    }
    uint8_t& cell = pos % 2 == 0 ? slots[pos / 2].dev_no : slots[pos / 2].ch_no;
    if (digits == 1) {
      cell = static_cast<uint8_t>(cell * 10 + value);
      digits = 2;
    } else {  // the first digit, or a third one starting over
      cell = value;
      digits = 1;
    }
  }
  return fits;
}

ConfResult<Mapping> parse_mb_mapping_conf(std::string_view text, MappingRead when,
                                          std::span<const MbDevice> devices, const char* file) {
  if (devices.size() > kMaxDevices) devices = devices.first(kMaxDevices);
  MappingReader reader(text, devices, file);
  Mapping io{};

  auto line1 = reader.line("the default_mapping line");
  if (!line1) return reader.finish(io);
  auto mapping = reader.number(*line1, "default_mapping value");
  if (!mapping) return reader.finish(io);
  io.default_mapping = *mapping;
  reader.set_strict(when == MappingRead::kReadBack || io.default_mapping == 0);

  auto line2 = reader.line("the session count");
  if (!line2) return reader.finish(io);
  auto sessions = reader.number(*line2, "session count");
  if (!sessions) return reader.finish(io);
  append_console(reader.console(), kTotalLine, *sessions);
  if ((*sessions < 0 || *sessions > kMaxSessions) && reader.strict()) {
    reader.refuse(refusal_at(file, reader.line_number(), kBadSessions, *sessions, kMaxSessions));
    return reader.finish(io);
  }
  // Out of range only when the file asks for a default mapping, which does
  // not use the count.
  io.session_count = SessionCount::clamped(*sessions);

  for (int s = 0; s < io.session_count; ++s) {
    char missing[64];
    bformat(missing, sizeof missing, "session %d of %d is complete", s + 1, int{io.session_count});
    auto id_line = reader.line(missing);
    if (!id_line) return reader.finish(io);
    auto id = reader.number(*id_line, "session ID");
    if (!id) return reader.finish(io);
    io.session_id[s] = *id;
    append_console(reader.console(), kSessionLine, *id);
    for (IoType t : kIoTypes) {
      auto section = reader.line(missing);
      if (!section) return reader.finish(io);
      append_console(reader.console(), kSectionEcho, std::string(*section).c_str());
      auto map_line = reader.line(missing);
      if (!map_line) return reader.finish(io);
      if (!reader.mapping_line(*map_line, io, t, s)) return reader.finish(io);
    }
  }
  return reader.finish(io);
}

ConfResult<Mapping> read_mb_mapping_conf(const char* path, MappingRead when,
                                         std::span<const MbDevice> devices) {
  auto text = read_conf_file(path);
  if (!text) return open_refusal(path);
  return parse_mb_mapping_conf(*text, when, devices, path);
}

std::string format_mb_mapping_conf(const Mapping& io) {
  std::string out;
  append_console(out, kFileDefault, io.default_mapping);
  append_console(out, kFileSessions, int{io.session_count});
  for (int s = 0; s < io.session_count; ++s) {
    append_console(out, kFileSessionId, io.session_id[s]);
    for (IoType t : kIoTypes) {
      std::string text(c_text(map_text(io, t, s), 200));
      append_console(out, kFileSection, io_type_name(t), text.c_str());
    }
  }
  return out;
}

ConfResult<Mapping> build_default_mapping(std::span<const MbDevice> devices,
                                          int32_t default_mapping, const char* device_file) {
  if (devices.size() > kMaxDevices) devices = devices.first(kMaxDevices);
  Mapping io{};
  io.default_mapping = default_mapping;
  std::string console;
  // Every device block has all four count lines, so with any device every
  // type starts out waiting.
  DefaultMappingState state;
  for (TypeCursor& cursor : state) cursor.waiting = !devices.empty();
  int32_t n = 0;
  for (; any_waiting(state); ++n) {
    if (n == kMaxSessions) {
      IoType t = *std::find_if(kIoTypes.begin(), kIoTypes.end(), [&](IoType u) {
        return state[static_cast<size_t>(io_index(u))].waiting;
      });
      int32_t total = 0;
      for (const MbDevice& d : devices) total += io_count(d, t);
      return {refusal_of(device_file, kTooManySessions, total, io_type_name(t),
                         kMaxSessions * kMaxSlots),
              std::move(console)};
    }
    io.session_id[n] = n;
    build_default_session(io, n, devices, state, console);
  }
  io.session_count = *SessionCount::of(n);  // refused above past kMaxSessions
  return {io, std::move(console)};
}

ConfResult<Mapping> read_startup_mapping(const char* path, const char* device_file,
                                         std::span<const MbDevice> devices,
                                         const MappingStore& store) {
  ConfResult<Mapping> read = read_mb_mapping_conf(path, MappingRead::kStartup, devices);
  if (!read.ok() || read.value().default_mapping == 0) return read;
  std::string console = read.console();
  ConfResult<Mapping> built =
      build_default_mapping(devices, read.value().default_mapping, device_file);
  console += built.console();
  if (!built.ok()) return {*built.refusal(), console};
  if (built.value().session_count == 0) return {built.value(), console};
  ConfResult<Mapping> back = store(built.value());
  console += back.console();
  if (!back.ok()) return {*back.refusal(), console};
  return {back.value(), console};
}

void count_session_slots(Mapping& io) {
  for (int s = 0; s < io.session_count; ++s) {
    for (IoType t : kIoTypes) {
      const MbMapEntry(&slots)[kMaxSlots] = map_slots(io, t, s);
      int last = 0;
      for (int j = 0; j < kMaxSlots; ++j) {
        if (slots[j].dev_no > 0) last = j + 1;  // ch_no is not looked at
      }
      map_num(io, t, s) = *SlotCount::of(last);
    }
  }
}

namespace {

// Writes every byte, going on after short writes and interruptions.
bool write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Replaces the file at path whole: the text goes to a temporary file in the
// same folder, which is synced and renamed over the old file; then the folder
// is synced, so that a power cut leaves either the old file or the new one.
// On failure the old file is as it was, no temporary file is left, and the
// step that failed is answered (errno tells why).
constexpr const char* kCreatingTemp = "creating the temporary file";

const char* replace_file(const std::string& path, std::string_view text) {
  struct stat old {};
  const mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  std::string temp = path + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.valid()) return kCreatingTemp;
  const char* failed = nullptr;
  if (::fchmod(fd.get(), mode) != 0) {
    failed = "setting the file mode";
  } else if (!write_all(fd.get(), text)) {
    failed = "writing the new text";
  } else if (::fsync(fd.get()) != 0) {
    failed = "syncing the new text";
  } else if (fd.close() != 0) {
    failed = "closing the new file";
  } else if (::rename(temp.c_str(), path.c_str()) != 0) {
    failed = "replacing the file";
  }
  if (failed != nullptr) {
    const int why = errno;
    ::unlink(temp.c_str());
    errno = why;
    return failed;
  }
  const std::string folder = std::filesystem::path(path).parent_path().string();
  UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (!dir.valid() || ::fsync(dir.get()) != 0) return "syncing the folder";
  return nullptr;
}

}  // namespace

std::optional<Refusal> write_mb_mapping_conf(const Mapping& mapping, const char* path) {
  const char* failed = replace_file(resolve_path(path), format_mb_mapping_conf(mapping));
  if (failed == nullptr) return std::nullopt;
  Refusal refusal = refusal_of(path, kWriteFailed, failed, std::strerror(errno));
  if (failed == kCreatingTemp) refusal.text = "Open configure file fail!!\n" + refusal.text;
  return refusal;
}
