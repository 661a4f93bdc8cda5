#include "config/mapping_conf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Refusals.
constexpr const char* kNoEquals = "Configure file %s: line %d has no \"=\", no %s!!";
constexpr const char* kEndsEarly = "Configure file %s: line %d: the file ends before %s!!";
constexpr const char* kBadSessions = "Configure file %s: line %d: session count %d, 0 to %d fit!!";
constexpr const char* kTooManyEntries =
    "Configure file %s: line %d: the %s line holds more than %d entries!!";
constexpr const char* kUnknownDevice =
    "Configure file %s: line %d: %s entry %d names device %d, %d configured!!";
constexpr const char* kUnknownChannel =
    "Configure file %s: line %d: %s entry %d names channel %d of device %d, which has %d!!";
constexpr const char* kTooManySessions =
    "Configure file %s: the devices hold %d %s channels, a default mapping holds at most %d!!";
// What failed while the file was replaced, and why (strerror).
constexpr const char* kWriteFailed =
    "Configure file %s: %s failed (%s), the file is left as it was!!";

constexpr size_t kLineBuffer = 200;

template <typename... Args>
std::string refusal(const char* file, const char* fmt, Args... args) {
  char line[256];
  bformat(line, sizeof line, fmt, file, args...);
  return line;
}

// One read of the mapping file: the line reader, and whether a misfit is
// refused (the mapping that will be used) or passed over (a file about to be
// regenerated).
class MappingReader {
 public:
  MappingReader(std::string_view text, bool strict, const DeviceTable& devices,
                int32_t device_count, std::string& console)
      : lines_(text, kLineBuffer),
        strict_(strict),
        devices_(devices),
        device_count_(device_count),
        console_(console) {}

  void set_strict(bool strict) { strict_ = strict; }
  bool strict() const { return strict_; }
  int line_number() const { return lines_.line_number(); }
  const std::optional<std::string>& error() const { return error_; }

  // The next line; when the file has ended, nullopt and (strict) the refusal
  // naming what was still to come.
  std::optional<std::string_view> line(const char* missing) {
    auto l = lines_.next();
    if (!l && strict_) {
      error_ = refusal(configFile_mb_mapping, kEndsEarly, lines_.line_number() + 1, missing);
    }
    return l;
  }

  // The value of a "name=value" line as atoi reads it; a line without "=" is
  // refused (strict) or reads as 0.
  std::optional<int32_t> number(std::string_view line, const char* what) {
    auto value = conf_value(line);
    if (value) return read_int(*value);
    if (strict_) {
      error_ = refusal(configFile_mb_mapping, kNoEquals, lines_.line_number(), what);
      return std::nullopt;
    }
    return 0;
  }

  // Stores, echoes and parses one mapping line; false on a refusal.
  bool mapping_line(std::string_view line, MbIoTable& io, IoType t, int s) {
    char(&text)[200] = map_text(io, t, s);
    std::memset(text, 0, sizeof text);
    copy_text(text, sizeof text, line);  // at most 199 characters: always fits
    append_console(console_, kMapEcho, text);
    MbMapEntry(&slots)[kMaxSlots] = map_slots(io, t, s);
    bool fits = parse_map_slots(line, slots);
    if (!strict_) return true;
    if (!fits) {
      error_ = refusal(configFile_mb_mapping, kTooManyEntries, lines_.line_number(),
                       io_type_name(t), kMaxSlots);
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
      if (e.dev_no > device_count_) {
        error_ = refusal(configFile_mb_mapping, kUnknownDevice, lines_.line_number(),
                         io_type_name(t), j + 1, e.dev_no, device_count_);
        return false;
      }
      int32_t channels = io_count(*devices_[e.dev_no - 1u], t);
      // Channels are 1-based: channel 0 of a real device names nothing.
      if (e.ch_no == 0 || e.ch_no > channels) {
        error_ = refusal(configFile_mb_mapping, kUnknownChannel, lines_.line_number(),
                         io_type_name(t), j + 1, e.ch_no, e.dev_no, channels);
        return false;
      }
    }
    return true;
  }

  ConfLineReader lines_;
  bool strict_;
  const DeviceTable& devices_;
  int32_t device_count_;
  std::string& console_;
  std::optional<std::string> error_;
};

DefaultMappingState load_default_state() {
  DefaultMappingState state;
  for (IoType t : kIoTypes) {
    int i = io_index(t);
    state.tmp[i][0] = resume_point(t)[0];
    state.tmp[i][1] = resume_point(t)[1];
    state.remain[i] = remain_flag(t);
  }
  return state;
}

void store_default_state(const DefaultMappingState& state) {
  for (IoType t : kIoTypes) {
    int i = io_index(t);
    resume_point(t)[0] = state.tmp[i][0];
    resume_point(t)[1] = state.tmp[i][1];
    remain_flag(t) = state.remain[i];
  }
}

bool any_remain(const DefaultMappingState& state) {
  return std::any_of(std::begin(state.remain), std::end(state.remain),
                     [](int32_t r) { return r != 0; });
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

std::optional<std::string> parse_mb_mapping_conf(std::string_view text, MappingRead when,
                                                 const DeviceTable& devices, int32_t device_count,
                                                 MbIoTable& io, std::string& console) {
  device_count = std::clamp(device_count, 0, kMaxDevices);
  // Until line 1 says otherwise, the mapping is one that will be used.
  MappingReader reader(text, true, devices, device_count, console);

  auto line1 = reader.line("the default_mapping line");
  if (!line1) return reader.error();
  auto mapping = reader.number(*line1, "default_mapping value");
  if (!mapping) return reader.error();
  io.default_mapping = *mapping;
  reader.set_strict(when == MappingRead::kReadBack || io.default_mapping == 0);

  auto line2 = reader.line("the session count");
  if (!line2) return reader.error();
  auto sessions = reader.number(*line2, "session count");
  if (!sessions) return reader.error();
  append_console(console, kTotalLine, *sessions);
  if ((*sessions < 0 || *sessions > kMaxSessions) && reader.strict()) {
    return refusal(configFile_mb_mapping, kBadSessions, reader.line_number(), *sessions,
                   kMaxSessions);
  }
  io.session_count = std::clamp(*sessions, 0, kMaxSessions);

  for (int s = 0; s < io.session_count; ++s) {
    char missing[64];
    bformat(missing, sizeof missing, "session %d of %d is complete", s + 1, io.session_count);
    auto id_line = reader.line(missing);
    if (!id_line) return reader.error();
    auto id = reader.number(*id_line, "session ID");
    if (!id) return reader.error();
    io.session_id[s] = *id;
    append_console(console, kSessionLine, *id);
    for (IoType t : kIoTypes) {
      auto section = reader.line(missing);
      if (!section) return reader.error();
      append_console(console, kSectionEcho, std::string(*section).c_str());
      auto map_line = reader.line(missing);
      if (!map_line) return reader.error();
      if (!reader.mapping_line(*map_line, io, t, s)) return reader.error();
    }
  }
  return std::nullopt;
}

std::string format_mb_mapping_conf(const MbIoTable& io) {
  std::string out;
  append_console(out, kFileDefault, io.default_mapping);
  append_console(out, kFileSessions, io.session_count);
  int sessions = std::clamp(io.session_count, 0, kMaxSessions);
  for (int s = 0; s < sessions; ++s) {
    append_console(out, kFileSessionId, io.session_id[s]);
    for (IoType t : kIoTypes) {
      std::string text(c_text(map_text(io, t, s), 200));
      append_console(out, kFileSection, io_type_name(t), text.c_str());
    }
  }
  return out;
}

void build_default_session(MbIoTable& io, int32_t session, const DeviceTable& devices,
                           int32_t device_count, DefaultMappingState& state, std::string& console) {
  device_count = std::clamp(device_count, 0, kMaxDevices);
  for (IoType t : kIoTypes) {
    std::memset(map_text(io, t, session), 0, sizeof map_text(io, t, session));
    map_num(io, t, session) = 0;
  }
  for (IoType t : kIoTypes) {
    int i = io_index(t);
    if (state.remain[i] == 0) continue;
    char(&text)[200] = map_text(io, t, session);
    int32_t& count = map_num(io, t, session);
    int32_t(&resume)[2] = state.tmp[i];
    const int32_t first_device = resume[0];
    bool full = false;
    for (int32_t d = first_device; d < device_count && !full; ++d) {
      int32_t channels = io_count(*devices[static_cast<size_t>(d)], t);
      if (channels == 0) {
        state.remain[i] = 0;
        continue;
      }
      for (int32_t k = d == first_device ? resume[1] : 0; k < channels; ++k) {
        if (count >= kMaxSlots) {
          resume[0] = d;
          resume[1] = k;
          append_console(console, kFullLine, io_type_name(t), channels - k, io_type_name(t));
          state.remain[i] = 1;
          full = true;
          break;
        }
        state.remain[i] = 0;
        bappend(text, sizeof text, kEntry, d + 1, k + 1);
        ++count;
      }
    }
  }
  for (IoType t : kIoTypes) {
    for (int32_t k = map_num(io, t, session); k < kMaxSlots; ++k) {
      bappend(map_text(io, t, session), sizeof map_text(io, t, session), "%s", kEmptyEntry);
    }
  }
  append_console(console, kBuiltSession, session);
  for (IoType t : kIoTypes) {
    append_console(console, kBuiltValues, map_num(io, t, session), io_type_name(t),
                   map_text(io, t, session));
  }
}

std::optional<std::string> build_default_sessions(MbIoTable& io, const DeviceTable& devices,
                                                  int32_t device_count, DefaultMappingState& state,
                                                  std::string& console) {
  int32_t n = 0;
  for (; any_remain(state); ++n) {
    if (n == kMaxSessions) {
      io.session_count = n;
      IoType t = *std::find_if(kIoTypes.begin(), kIoTypes.end(),
                               [&](IoType u) { return state.remain[io_index(u)] != 0; });
      int32_t total = 0;
      for (int32_t d = 0; d < std::clamp(device_count, 0, kMaxDevices); ++d) {
        total += io_count(*devices[static_cast<size_t>(d)], t);
      }
      return refusal(configFile_mb, kTooManySessions, total, io_type_name(t),
                     kMaxSessions * kMaxSlots);
    }
    io.session_id[n] = n;
    build_default_session(io, n, devices, device_count, state, console);
  }
  io.session_count = n;
  return std::nullopt;
}

void count_session_slots(MbIoTable& io) {
  int sessions = std::clamp(io.session_count, 0, kMaxSessions);
  for (int s = 0; s < sessions; ++s) {
    for (IoType t : kIoTypes) {
      int32_t& num = map_num(io, t, s);
      num = 0;
      const MbMapEntry(&slots)[kMaxSlots] = map_slots(io, t, s);
      for (int j = 0; j < kMaxSlots; ++j) {
        if (slots[j].dev_no != 0) num = j + 1;  // ch_no is not looked at
      }
    }
  }
}

void read_mb_mapping_conf(MappingRead when) {
  std::string text = read_conf_file(configFile_mb_mapping);
  std::string console;
  auto error = parse_mb_mapping_conf(text, when, modbus_dev, mb_num, *modbusIO, console);
  finish_conf_read(console, error);
}

void set_default_mapping(int32_t session, int32_t device_count) {
  if (session < 0 || session >= kMaxSessions) return;
  DefaultMappingState state = load_default_state();
  std::string console;
  build_default_session(*modbusIO, session, modbus_dev, device_count, state, console);
  store_default_state(state);
  finish_conf_read(console, std::nullopt);
}

int32_t build_default_mapping(int32_t device_count) {
  DefaultMappingState state = load_default_state();
  std::string console;
  auto error = build_default_sessions(*modbusIO, modbus_dev, device_count, state, console);
  store_default_state(state);
  finish_conf_read(console, error);
  return modbusIO->session_count;
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

void write_mb_mapping_conf() {
  std::string text = format_mb_mapping_conf(*modbusIO);
  if (const char* failed = replace_file(resolve_path(configFile_mb_mapping), text)) {
    const char* why = std::strerror(errno);
    if (failed == kCreatingTemp) {
      console_line("Open configure file fail!!");
    }
    char line[512];
    bformat(line, sizeof line, kWriteFailed, configFile_mb_mapping, failed, why);
    console_line(line);
    fatal_exit();
  }
}
