// The scan of a session's devices into its values, the polling thread and the
// write-back of commanded outputs.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "modbus/modbus_engine.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

namespace {

namespace tx = modbus_texts;

enum IoType { kDO, kDI, kAO, kAI, kTypes };

// One device's working buffers; value j - 1 is the device's channel j.
struct DeviceBuffers {
  uint8_t do_buf[kMaxSlots];
  uint8_t di_buf[kMaxSlots];
  uint16_t ao_buf[kMaxSlots];
  uint16_t ai_buf[kMaxSlots];
};
using Buffers = std::array<DeviceBuffers, kMaxDevices>;

// Values of each session's last error-free scan, restored after a read error.
// The shared snapshot rings are still written on the error-free path, but a
// ring slot may hold another session's values, so restoring goes by session.
uint16_t last_good[kMaxSessions][kTypes][kMaxSlots];
// Write-back progress of each session (guarded by session_lock), stepped once
// when a write-back sets the image and once when its device writes are done:
// odd while one is under way. A scan that began during a write-back, or saw
// one begin, may have read outputs from before the write; it keeps the
// commanded values, which are newer. (Only the main thread writes back.)
uint32_t write_count[kMaxSessions];
// The rings, buf_index and last_good belong to the scan; one scan at a time.
std::mutex scan_mutex;

// Per-type views of the records, indexed by IoType.
int type_count(const MbDevice& dev, IoType t) {
  const int32_t counts[kTypes] = {dev.do_count, dev.di_count, dev.ao_count, dev.ai_count};
  return channel_limit(counts[t]);
}

int slot_count(int s, IoType t) {
  const MbIoTable& io = *modbusIO;
  const int32_t nums[kTypes] = {io.do_num[s], io.di_num[s], io.ao_num[s], io.ai_num[s]};
  return channel_limit(nums[t]);
}

struct Position {
  size_t device;
  size_t element;
};

// The buffer element that a slot names, or nothing for an empty slot and for
// numbers beyond the devices in use or the device's channels.
std::optional<Position> slot_position(MbMapEntry e, IoType t, int device_count) {
  if (e.dev_no == 0 || e.ch_no == 0 || e.dev_no > device_count) return std::nullopt;
  const MbDevice* dev = modbus_dev[e.dev_no - 1u];
  if (dev == nullptr || e.ch_no > type_count(*dev, t)) return std::nullopt;
  return Position{e.dev_no - 1u, e.ch_no - 1u};
}

const MbMapEntry* slot_map(int s, IoType t) {
  const MbIoTable& io = *modbusIO;
  const MbMapEntry* maps[kTypes] = {io.do_map[s], io.di_map[s], io.ao_map[s], io.ai_map[s]};
  return maps[t];
}

uint16_t buffer_value(const DeviceBuffers& b, IoType t, size_t i) {
  const uint16_t values[kTypes] = {b.do_buf[i], b.di_buf[i], b.ao_buf[i], b.ai_buf[i]};
  return values[t];
}

uint16_t image_value(int s, IoType t, int k) {
  const MbIoTable& io = *modbusIO;
  const uint16_t values[kTypes] = {io.do_value[s][k], io.di_value[s][k], io.ao_value[s][k],
                                   io.ai_value[s][k]};
  return values[t];
}

// DO and DI values travel widened to 16 bits and come back as their low byte.
void set_image_value(int s, IoType t, int k, uint16_t v) {
  MbIoTable& io = *modbusIO;
  uint8_t* bits[kTypes] = {&io.do_value[s][k], &io.di_value[s][k], nullptr, nullptr};
  uint16_t* regs[kTypes] = {nullptr, nullptr, &io.ao_value[s][k], &io.ai_value[s][k]};
  if (bits[t] != nullptr)
    *bits[t] = static_cast<uint8_t>(v);
  else
    *regs[t] = v;
}

uint16_t (*ring(IoType t))[kMaxSlots] {
  uint16_t(*rings[kTypes])[kMaxSlots] = {modbus_all_do_buf, modbus_all_di_buf, modbus_all_ao_buf,
                                         modbus_all_ai_buf};
  return rings[t];
}

bool valid_session(int32_t s) {
  return s >= 0 && s < kMaxSessions && modbusIO != nullptr;
}

int device_limit(int32_t n) {
  return std::clamp<int32_t>(n, 0, kMaxDevices);
}

[[noreturn]] void unreachable_device() {
  console().line(tx::kFcError);
  fatal_exit();
}

uint32_t session_write_count(int s) {
  std::lock_guard<std::mutex> lock(session_lock(s));
  return write_count[s];
}

// Stores the scan's values into session s: fresh values after an error-free
// scan (also into the next snapshot and the session's last good values), the
// session's last good values after a read error.
void store_scan(int s, int n, const Buffers& bufs, bool read_error, uint32_t writes_before) {
  std::lock_guard<std::mutex> scan_lock(scan_mutex);
  std::lock_guard<std::mutex> lock(session_lock(s));
  const bool commanded = write_count[s] != writes_before || (writes_before & 1u) != 0;
  const int next = (buf_index + 1) % 4;
  int counts[kTypes];
  for (int t = 0; t < kTypes; ++t) counts[t] = slot_count(s, static_cast<IoType>(t));
  const int slots = *std::max_element(counts, counts + kTypes);

  for (int k = 0; k < slots; ++k) {
    for (int ti = 0; ti < kTypes; ++ti) {
      auto t = static_cast<IoType>(ti);
      if (counts[t] <= k) continue;
      uint16_t v = 0;
      if (auto pos = slot_position(slot_map(s, t)[k], t, n))
        v = buffer_value(bufs[pos->device], t, pos->element);
      if (read_error) v = last_good[s][t][k];
      if (commanded && (t == kDO || t == kAO)) v = image_value(s, t, k);
      set_image_value(s, t, k, v);
      if (!read_error) {
        ring(t)[next][k] = v;
        last_good[s][t][k] = v;
      }
    }
  }
  if (!read_error) buf_index = next;
}

// What one write-back needs to know about its output type.
struct OutputKind {
  IoType type;
  const char* before_fmt;
  int32_t function;
};

template <typename T>
void write_outputs(int s, int n, const T* values, const OutputKind& kind) {
  Buffers bufs{};
  std::array<ChannelMask, kMaxDevices> mapped{};
  const int count = slot_count(s, kind.type);
  const char* map_text = kind.type == kDO ? modbusIO->do_map_text[s] : modbusIO->ao_map_text[s];

  char head[300];
  bformat(head, sizeof head, kind.before_fmt, count,
          std::string(c_text(map_text, sizeof modbusIO->do_map_text[s])).c_str());
  console().write(head);

  char old_values[kMaxSlots * 7 + 2] = "";
  {
    std::lock_guard<std::mutex> lock(session_lock(s));
    for (int k = 0; k < count; ++k) {
      bappend(old_values, sizeof old_values, tx::kOldValue, image_value(s, kind.type, k));
      // A slot that names no channel writes nothing and keeps its value.
      auto pos = slot_position(slot_map(s, kind.type)[k], kind.type, n);
      if (!pos) continue;
      DeviceBuffers& b = bufs[pos->device];
      if (kind.type == kDO)
        b.do_buf[pos->element] = static_cast<uint8_t>(values[k]);
      else
        b.ao_buf[pos->element] = static_cast<uint16_t>(values[k]);
      mapped[pos->device][pos->element] = true;
      set_image_value(s, kind.type, k, static_cast<uint16_t>(values[k]));
    }
    ++write_count[s];
  }
  console().write(old_values);
  console().write("\n");

  for (int i = 0; i < n; ++i) {
    const MbDevice* dev = modbus_dev[static_cast<size_t>(i)];
    if (dev == nullptr) continue;
    if ((kind.type == kDO ? dev->do_as_di : dev->ao_as_ai) != 0) continue;
    console().print(tx::kDeviceHead, i);
    DeviceBuffers& b = bufs[static_cast<size_t>(i)];
    if (modbus_write_merged(b.do_buf, b.ao_buf, dev, kind.function,
                            mapped[static_cast<size_t>(i)]) < 1)
      unreachable_device();
  }
  std::lock_guard<std::mutex> lock(session_lock(s));
  ++write_count[s];
}

}  // namespace

void read_all_IO_values(int32_t session, int32_t device_count) {
  if (!valid_session(session)) return;
  const int n = device_limit(device_count);
  Buffers bufs{};
  const uint32_t writes_before = session_write_count(session);
  flag_modbus_err = 0;
  for (int i = 0; i < n; ++i) {
    DeviceBuffers& b = bufs[static_cast<size_t>(i)];
    if (modbusFC(b.do_buf, b.di_buf, b.ao_buf, b.ai_buf, modbus_dev[static_cast<size_t>(i)], 0) < 1)
      unreachable_device();
  }
  store_scan(session, n, bufs, flag_modbus_err != 0, writes_before);
  flag_modbus_err = 0;
}

void write_all_IO_values(int32_t session, int32_t device_count, const uint8_t* do_values,
                         const uint16_t* ao_values) {
  if (!valid_session(session)) return;
  const int n = device_limit(device_count);
  if (do_values != nullptr && slot_count(session, kDO) > 0) {
    write_outputs(session, n, do_values, {kDO, tx::kBeforeWriteDo, 15});
  } else if (ao_values != nullptr && slot_count(session, kAO) > 0) {
    write_outputs(session, n, ao_values, {kAO, tx::kBeforeWriteAo, 16});
  }
}

void poll_sessions_once() {
  for (int32_t s = 0; s < modbusIO->session_count && s < kMaxSessions; ++s)
    read_all_IO_values(s, mb_num);
}

void thread_polling() {
  console().line(tx::kPollingStart);
  for (;;) {
    poll_sessions_once();
    clock_sleep_seconds(1);
  }
}

void start_polling_thread() {
  try {
    std::thread(thread_polling).detach();
  } catch (const std::system_error&) {
    console().write(tx::kThreadError);
    fatal_exit();
  }
}

void modbus_io_reset() {
  std::lock_guard<std::mutex> scan_lock(scan_mutex);
  for (int s = 0; s < kMaxSessions; ++s) {
    std::lock_guard<std::mutex> lock(session_lock(s));
    std::memset(last_good[s], 0, sizeof last_good[s]);
    write_count[s] = 0;
  }
}
