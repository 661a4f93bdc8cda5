// What the unit tests and the fuzz targets share: the console's text, a
// private QUORVANE_ROOT, the far end of a serial port on a pseudo-terminal, hex
// text, a time-zone guard, configuration texts and their refusals. No test
// framework here, so that the fuzz targets can use it too.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/console.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "config/io_type.h"
#include "config/mapping_conf.h"
#include "modbus/io_image.h"

namespace support {

inline void require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "test support: %s failed\n", what);
    std::abort();
  }
}

// The console's text while the object lives, instead of the process's streams.
class ScopedConsoleCapture final : public ConsoleSink {
 public:
  ScopedConsoleCapture() : before_(console().set_sink(this)) {}
  ~ScopedConsoleCapture() { console().set_sink(before_); }

  // Standard output's (or standard error's) text since the last take.
  std::string take(ConsoleStream stream = ConsoleStream::kOut) {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(text_[static_cast<int>(stream)], {});
  }
  void write(ConsoleStream stream, std::string_view text) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_[static_cast<int>(stream)].append(text);
  }

 private:
  ConsoleSink* before_;
  std::mutex mutex_;
  std::string text_[2];
};

// In a death-test child: the console, both streams, to standard error
// (unbuffered), where the death test looks, in the order it was written.
inline void console_to_stderr() {
  static struct : ConsoleSink {
    void write(ConsoleStream, std::string_view t) override {
      std::fwrite(t.data(), 1, t.size(), stderr);
    }
  } sink;
  console().set_sink(&sink);
}

// A private QUORVANE_ROOT with dev/ and tmp/, removed with the object.
class TempRoot {
 public:
  TempRoot() {
    std::string t = (std::filesystem::temp_directory_path() / "quorvane-test-XXXXXX").string();
    require(mkdtemp(t.data()) != nullptr, "mkdtemp");
    path_ = t;
    std::filesystem::create_directories(path_ / "dev");
    std::filesystem::create_directories(path_ / "tmp");
    setenv("QUORVANE_ROOT", path_.c_str(), 1);
  }
  ~TempRoot() {
    unsetenv("QUORVANE_ROOT");
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// A new pseudo-terminal whose slave is reachable at link; returns the master.
inline UniqueFd open_pty_at(const std::filesystem::path& link) {
  UniqueFd m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
  require(m.valid() && grantpt(m.get()) == 0 && unlockpt(m.get()) == 0, "posix_openpt");
  std::filesystem::create_symlink(ptsname(m.get()), link);
  return m;
}

inline std::string hex_of(std::string_view bytes) {
  std::string hex(2 * bytes.size() + 1, '\0');
  hex.resize(
      bytes_to_hex(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), hex.data()));
  return hex;
}

// TZ set for the guard's lifetime.
class TzGuard {
 public:
  explicit TzGuard(const char* tz) {
    if (const char* old = getenv("TZ")) saved_ = old;
    setenv("TZ", tz, 1);
    tzset();
  }
  ~TzGuard() {
    if (saved_)
      setenv("TZ", saved_->c_str(), 1);
    else
      unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

// One device block of quorvane.ini: DO, DI, AO, AI counts, then do_as_di, ao_as_ai.
struct DeviceSpec {
  int do_count = 0, di_count = 0, ao_count = 0, ai_count = 0, do_as_di = 0, ao_as_ai = 0;
};

// The file: count line, then per device the header and 19 value lines, CR LF.
inline std::string device_file(const std::vector<DeviceSpec>& devices) {
  std::string text = "modbus_number=" + std::to_string(devices.size()) + "\r\n";
  int n = 0;
  for (const DeviceSpec& d : devices) {
    char block[512];
    ++n;
    std::snprintf(
        block, sizeof block,
        "[MODBUS%02d]\r\nslave_id=%d\r\ndo_count=%d\r\ndi_count=%d\r\nao_count=%d\r\n"
        "ai_count=%d\r\ndo_start=0\r\ndi_start=100\r\nao_start=200\r\nai_start=300\r\n"
        "is_tcp=1\r\nip_addr=127.0.0.1\r\ntcp_port=%d\r\nserial_dev=/dev/ttyS1\r\n"
        "baud=9600\r\nparity=E\r\ndata_bits=8\r\nstop_bits=1\r\ndo_as_di=%d\r\nao_as_ai=%d\r\n",
        n, n, d.do_count, d.di_count, d.ao_count, d.ai_count, 1500 + n, d.do_as_di, d.ao_as_ai);
    text += block;
  }
  return text;
}

// Session s's slots of type t from a mapping-file line, counted as the reader counts them.
inline void map_line(Mapping& io, IoType t, int s, const char* line) {
  io.session_count = *SessionCount::of(std::max<int>(io.session_count, s + 1));
  parse_map_slots(line, map_slots(io, t, s));
  copy_text(map_text(io, t, s), sizeof map_text(io, t, s), line);
  count_session_slots(io);
}

// Session s's values, stored as a scan stores them.
inline void store_values(IoImage& io, int s, const SessionValues& v) {
  io.store_scan(s, v, false, io.write_mark(s));
}

// What is wrong with a configuration reader's outcome: it must accept when line
// is 0, else refuse at that line, giving the reason. Empty when it is right.
inline std::string refusal_problem(const Refusal* refusal, int line, const std::string& reason) {
  if (refusal == nullptr) return line == 0 ? "" : "accepted";
  bool ok = line != 0 && refusal->line == line && refusal->text.find(reason) != std::string::npos;
  return ok ? "" : "refused at line " + std::to_string(refusal->line) + ": " + refusal->text;
}

}  // namespace support
