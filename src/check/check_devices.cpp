// quorvane-check devices: one read-only exchange with every device through
// the daemon's function engine, its console lines kept apart from the report.

#include <modbus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>

#include "check/check.h"
#include "common/console.h"
#include "config/io_type.h"
#include "modbus/modbus_io.h"

namespace {

// The function engine's console lines, both streams, collected while one
// exchange runs (the report, and its JSON form, stay clean).
class Capture final : public ConsoleSink {
 public:
  Capture() : before_(console().set_sink(this)) {}
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;
  ~Capture() { console().set_sink(before_); }
  void write(ConsoleStream /*stream*/, std::string_view text) override { text_.append(text); }
  const std::string& text() const { return text_; }

 private:
  ConsoleSink* before_;
  std::string text_;
};

DeviceRead read_device(const MbDevice& dev) {
  DeviceRead r;
  Capture capture;
  errno = 0;
  const auto start = std::chrono::steady_clock::now();
  const IoResult rc = modbus_exchange(r.do_buf, r.di_buf, r.ao_buf, r.ai_buf, &dev, 0);
  const auto end = std::chrono::steady_clock::now();
  const int why = errno;
  const std::string& console = capture.text();
  r.ms = std::chrono::duration<double, std::milli>(end - start).count();
  r.connected = rc != IoResult::kUnreachable;
  std::string errors;
  size_t pos = 0;
  while (pos < console.size()) {
    size_t end_of_line = console.find('\n', pos);
    if (end_of_line == std::string::npos) end_of_line = console.size();
    std::string line = console.substr(pos, end_of_line - pos);
    pos = end_of_line + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (line.empty()) continue;
    if (line.rfind("[Error]", 0) == 0) errors += (errors.empty() ? "" : "; ") + line;
    r.log.push_back(line);
  }
  r.answered = rc == IoResult::kOk;
  if (!errors.empty() && why != 0) errors += std::string(" (") + modbus_strerror(why) + ")";
  r.error = errors;
  return r;
}

}  // namespace

std::vector<DeviceRead> read_devices(const DeviceList& devices) {
  std::vector<DeviceRead> reads;
  for (const MbDevice& dev : devices) reads.push_back(read_device(dev));
  return reads;
}

std::vector<uint16_t> session_values(const Mapping& mapping, int session, int type,
                                     const DeviceList& devices,
                                     const std::vector<DeviceRead>& reads,
                                     std::vector<bool>& unknown) {
  const auto t = static_cast<IoType>(type);
  const int used = std::clamp(map_num(mapping, t, session), 0, kMaxSlots);
  std::vector<uint16_t> values(static_cast<size_t>(used), 0);
  unknown.assign(values.size(), false);
  const MbMapEntry(&slots)[kMaxSlots] = map_slots(mapping, t, session);
  for (int k = 0; k < used; ++k) {
    const MbMapEntry e = slots[k];
    if (e.dev_no == 0 || e.ch_no == 0 || e.ch_no > kMaxSlots || e.dev_no > devices.size()) {
      continue;
    }
    const DeviceRead& r = reads[e.dev_no - 1u];
    const int i = e.ch_no - 1;
    values[k] = t == IoType::DI   ? r.di_buf[i]
                : t == IoType::AI ? r.ai_buf[i]
                : t == IoType::DO ? r.do_buf[i]
                                  : r.ao_buf[i];
    unknown[k] = !r.answered;
  }
  return values;
}
