// quorvane-check devices: one read-only exchange with every device through
// the daemon's function engine, its console lines kept apart from the report.

#include <algorithm>
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
  const auto start = std::chrono::steady_clock::now();
  const Exchange exchange =
      modbus_exchange(r.do_buf, r.di_buf, r.ao_buf, r.ai_buf, &dev, Function::kReadAll);
  const auto end = std::chrono::steady_clock::now();
  r.ms = std::chrono::duration<double, std::milli>(end - start).count();
  r.connected = exchange.result != IoResult::kUnreachable;
  r.answered = exchange.result == IoResult::kOk;
  const std::string& console = capture.text();
  size_t pos = 0;
  while (pos < console.size()) {
    size_t end_of_line = console.find('\n', pos);
    if (end_of_line == std::string::npos) end_of_line = console.size();
    std::string line = console.substr(pos, end_of_line - pos);
    pos = end_of_line + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    if (!line.empty()) r.log.push_back(line);
  }
  // Each failed step, then what the library said about the last one.
  for (const ModbusFault& fault : exchange.faults) {
    r.error += (r.error.empty() ? "" : "; ") + fault.what;
  }
  if (!exchange.faults.empty() && exchange.faults.back().error_number != 0) {
    r.error += " (" + exchange.faults.back().library_text + ")";
  }
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
  const auto slots = used_slots(mapping, t, session);
  std::vector<uint16_t> values(slots.size(), 0);
  unknown.assign(values.size(), false);
  for (size_t k = 0; k < slots.size(); ++k) {
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
