// The scan of a session's devices into its values, the polling loop and the
// write-back of commanded outputs.

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>
#include <span>
#include <string>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "config/io_type.h"
#include "modbus/modbus_engine.h"
#include "modbus/modbus_io.h"
#include "modbus/modbus_texts.h"

namespace {

namespace tx = modbus_texts;

// One device's working buffers; value j - 1 is the device's channel j.
using DeviceBuffers = DeviceValues;
using Buffers = std::array<DeviceBuffers, kMaxDevices>;

int type_count(const MbDevice& dev, IoType t) {
  return io_count(dev, t);
}

int slot_count(const Mapping& m, int s, IoType t) {
  return map_num(m, t, s);
}

struct Position {
  size_t device;
  size_t element;
};

// The buffer element that a slot names, or nothing for an empty slot and for
// numbers beyond the devices in use or the device's channels.
std::optional<Position> slot_position(MbMapEntry e, IoType t, std::span<const MbDevice> devices) {
  if (e.dev_no == 0 || e.ch_no == 0 || e.dev_no > devices.size()) return std::nullopt;
  if (e.ch_no > type_count(devices[e.dev_no - 1u], t)) return std::nullopt;
  return Position{e.dev_no - 1u, e.ch_no - 1u};
}

const MbMapEntry* slot_map(const Mapping& m, int s, IoType t) {
  return map_slots(m, t, s);
}

// The one of four values that belongs to the type, widened to 16 bits.
uint16_t pick(IoType t, uint16_t do_v, uint16_t di_v, uint16_t ao_v, uint16_t ai_v) {
  return by_type(t, do_v, di_v, ao_v, ai_v);
}

uint16_t buffer_value(const DeviceBuffers& b, IoType t, size_t i) {
  return pick(t, b.do_buf[i], b.di_buf[i], b.ao_buf[i], b.ai_buf[i]);
}

// DO and DI values travel widened to 16 bits and come back as their low byte.
void set_value(SessionValues& v, IoType t, int k, uint16_t x) {
  switch (t) {
    case IoType::DO:
      v.do_value[k] = static_cast<uint8_t>(x);
      break;
    case IoType::DI:
      v.di_value[k] = static_cast<uint8_t>(x);
      break;
    case IoType::AO:
      v.ao_value[k] = x;
      break;
    case IoType::AI:
      v.ai_value[k] = x;
      break;
  }
}

uint16_t value_of(const SessionValues& v, IoType t, int k) {
  return pick(t, v.do_value[k], v.di_value[k], v.ao_value[k], v.ai_value[k]);
}

// Tells the console when a watched device is lost or back.
void record_outcome(DeviceWatch& watch, size_t device, IoResult r, const DeviceValues* values) {
  const DeviceWatch::Change change = watch.record(device, r, GetTimeTicks(), values);
  if (change == DeviceWatch::Change::kLost) console().print(tx::kDeviceLost, int(device) + 1);
  if (change == DeviceWatch::Change::kBack) console().print(tx::kDeviceBack, int(device) + 1);
}

bool valid_session(int32_t s) {
  return s >= 0 && s < kMaxSessions;
}

// The devices a scan or a write-back looks at: the first kMaxDevices.
std::span<const MbDevice> devices_in_use(std::span<const MbDevice> devices) {
  return devices.first(std::min<size_t>(devices.size(), kMaxDevices));
}

// The session's slots filled from the devices' buffers; slots that name no
// channel, and slots beyond the session's count, hold 0.
SessionValues scanned_values(const Mapping& m, int s, std::span<const MbDevice> devices,
                             const Buffers& bufs) {
  SessionValues v{};
  for (IoType t : kIoTypes) {
    for (int k = 0; k < slot_count(m, s, t); ++k) {
      if (auto pos = slot_position(slot_map(m, s, t)[k], t, devices))
        set_value(v, t, k, buffer_value(bufs[pos->device], t, pos->element));
    }
  }
  return v;
}

// What one write-back needs to know about its output type.
struct OutputKind {
  IoType type;
  Output output;
  const char* before_fmt;
  Function function;
};

template <typename T>
IoResult write_outputs(IoImage& io, const Mapping& m, std::span<const MbDevice> devices, int s,
                       const T* values, const OutputKind& kind) {
  Buffers bufs{};
  std::array<ChannelMask, kMaxDevices> mapped{};
  const int count = slot_count(m, s, kind.type);
  const char* text = map_text(m, kind.type, s);

  char head[300];
  bformat(head, sizeof head, kind.before_fmt, count,
          std::string(c_text(text, sizeof m.do_map_text[s])).c_str());
  console().write(head);

  std::array<uint16_t, kMaxSlots> commanded{};
  SlotMask set{};
  DeviceWatch* watch = io.watch();
  std::array<bool, kMaxDevices> dropped{};
  for (int k = 0; k < count; ++k) {
    // A slot that names no channel writes nothing and keeps its value.
    auto pos = slot_position(slot_map(m, s, kind.type)[k], kind.type, devices);
    if (!pos) continue;
    // Nor does a slot of a device that cannot be reached: not queued either,
    // a command is for now.
    if (watch != nullptr && !watch->reachable(pos->device)) {
      dropped[pos->device] = true;
      continue;
    }
    DeviceBuffers& b = bufs[pos->device];
    if (kind.type == IoType::DO)
      b.do_buf[pos->element] = static_cast<uint8_t>(values[k]);
    else
      b.ao_buf[pos->element] = static_cast<uint16_t>(values[k]);
    mapped[pos->device][pos->element] = true;
    commanded[static_cast<size_t>(k)] = static_cast<uint16_t>(values[k]);
    set[static_cast<size_t>(k)] = true;
  }
  const SessionValues before = io.begin_write_back(s, kind.output, commanded, set);
  char old_values[kMaxSlots * 7 + 2] = "";
  for (int k = 0; k < count; ++k)
    bappend(old_values, sizeof old_values, tx::kOldValue, value_of(before, kind.type, k));
  console().write(old_values);
  console().write("\n");

  IoResult result = IoResult::kOk;
  for (int i = 0; i < static_cast<int>(devices.size()) && result == IoResult::kOk; ++i) {
    const MbDevice& dev = devices[static_cast<size_t>(i)];
    if (kind.type == IoType::DO ? dev.do_as_di : dev.ao_as_ai) continue;
    const auto at = static_cast<size_t>(i);
    if (watch != nullptr && !watch->reachable(at)) {
      if (dropped[at])
        console().print(tx::kCommandDropped, i + 1, kind.type == IoType::DO ? "DO" : "AO");
      continue;
    }
    console().print(tx::kDeviceHead, i);
    DeviceBuffers& b = bufs[at];
    result = modbus_write_merged(b.do_buf, b.ao_buf, &dev, kind.function, mapped[at]);
    // A watched device lost during the write: the others are still written.
    if (watch != nullptr && result == IoResult::kUnreachable) {
      record_outcome(*watch, at, result, nullptr);
      result = IoResult::kOk;
    }
  }
  io.end_write_back(s);
  return result;
}

}  // namespace

IoResult scan_session(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                      int32_t session) {
  if (!valid_session(session)) return IoResult::kOk;
  devices = devices_in_use(devices);
  Buffers bufs{};
  const uint32_t mark = io.write_mark(session);
  bool read_error = false;
  DeviceWatch* watch = io.watch();
  for (size_t i = 0; i < devices.size(); ++i) {
    DeviceBuffers& b = bufs[i];
    // A watched device that is down waits for its retry; its slots keep its
    // last good values, the other devices' slots stay fresh.
    if (watch != nullptr && !watch->due(i, GetTimeTicks())) {
      b = watch->last_good(i);
      continue;
    }
    IoResult r =
        modbus_exchange(b.do_buf, b.di_buf, b.ao_buf, b.ai_buf, &devices[i], Function::kReadAll)
            .result;
    if (watch != nullptr) {
      record_outcome(*watch, i, r, &b);
      if (r != IoResult::kOk) b = watch->last_good(i);
      continue;
    }
    if (r == IoResult::kUnreachable) return r;
    read_error = read_error || r == IoResult::kReadError;
  }
  io.store_scan(session, scanned_values(mapping, session, devices, bufs), read_error, mark);
  return read_error ? IoResult::kReadError : IoResult::kOk;
}

IoResult write_back(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                    int32_t session, const uint8_t* do_values, const uint16_t* ao_values) {
  if (!valid_session(session)) return IoResult::kOk;
  devices = devices_in_use(devices);
  if (do_values != nullptr && slot_count(mapping, session, IoType::DO) > 0)
    return write_outputs(io, mapping, devices, session, do_values,
                         {IoType::DO, Output::kDo, tx::kBeforeWriteDo, Function::kWriteDo});
  if (ao_values != nullptr && slot_count(mapping, session, IoType::AO) > 0)
    return write_outputs(io, mapping, devices, session, ao_values,
                         {IoType::AO, Output::kAo, tx::kBeforeWriteAo, Function::kWriteAo});
  return IoResult::kOk;
}

IoResult poll_sessions_once(IoImage& io, const Mapping& mapping,
                            std::span<const MbDevice> devices) {
  for (int32_t s = 0; s < mapping.session_count && s < kMaxSessions; ++s) {
    if (scan_session(io, mapping, devices, s) == IoResult::kUnreachable)
      return IoResult::kUnreachable;
  }
  return IoResult::kOk;
}

IoResult poll_forever(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                      Beat* beat) {
  console().line(tx::kPollingStart);
  for (;;) {
    if (poll_sessions_once(io, mapping, devices) == IoResult::kUnreachable)
      return IoResult::kUnreachable;
    if (beat != nullptr) beat->mark();
    clock_sleep_seconds(1);
  }
}
