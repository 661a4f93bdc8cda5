#include "modbus/io_image.h"

#include <algorithm>

#include "common/clock.h"

SessionValues IoImage::copy(int session) const {
  const Session& ss = sessions_.at(static_cast<size_t>(session));
  MutexLock hold(ss.lock);
  return ss.values;
}

uint32_t IoImage::write_mark(int session) const {
  const Session& ss = sessions_.at(static_cast<size_t>(session));
  MutexLock hold(ss.lock);
  return ss.write_count;
}

void IoImage::store_scan(int session, const SessionValues& scanned, bool read_error,
                         uint32_t mark) {
  Session& ss = sessions_.at(static_cast<size_t>(session));
  MutexLock hold(ss.lock);
  const bool commanded = ss.write_count != mark || (mark & 1u) != 0;
  SessionValues next = read_error ? ss.last_good : scanned;
  if (commanded) {
    std::copy(std::begin(ss.values.do_value), std::end(ss.values.do_value), next.do_value);
    std::copy(std::begin(ss.values.ao_value), std::end(ss.values.ao_value), next.ao_value);
  }
  ss.values = next;
  if (!read_error) ss.last_good = next;
}

SessionValues IoImage::begin_write_back(int session, Output out,
                                        const std::array<uint16_t, kMaxSlots>& values,
                                        const SlotMask& set) {
  Session& ss = sessions_.at(static_cast<size_t>(session));
  MutexLock hold(ss.lock);
  const SessionValues before = ss.values;
  for (size_t k = 0; k < values.size(); ++k) {
    if (!set[k]) continue;
    if (out == Output::kDo)
      ss.values.do_value[k] = static_cast<uint8_t>(values[k]);
    else
      ss.values.ao_value[k] = values[k];
  }
  ++ss.write_count;
  return before;
}

void IoImage::end_write_back(int session) {
  Session& ss = sessions_.at(static_cast<size_t>(session));
  MutexLock hold(ss.lock);
  ++ss.write_count;
}

bool DeviceWatch::due(size_t device, uint32_t now) const {
  MutexLock hold(lock_);
  const Device& d = devices_.at(device);
  return !d.down || ticks_elapsed(now, d.failed_at) >= d.retry_ms;
}

bool DeviceWatch::reachable(size_t device) const {
  MutexLock hold(lock_);
  return !devices_.at(device).down;
}

DeviceWatch::Change DeviceWatch::record(size_t device, IoResult outcome, uint32_t now,
                                        const DeviceValues* values) {
  MutexLock hold(lock_);
  Device& d = devices_.at(device);
  if (outcome == IoResult::kOk) {
    if (values != nullptr) d.last_good = *values;
    const bool was_down = d.down;
    d.down = false;
    d.failed_reads = 0;
    d.retry_ms = kFirstRetryMs;
    return was_down ? Change::kBack : Change::kNone;
  }
  if (!d.down && outcome == IoResult::kReadError && ++d.failed_reads < kFailedReadsForOutage)
    return Change::kNone;
  // A retry that failed waits twice as long as the one before.
  if (d.down) d.retry_ms = std::min(d.retry_ms * 2, kLongestRetryMs);
  d.failed_at = now;
  const bool was_down = d.down;
  d.down = true;
  return was_down ? Change::kNone : Change::kLost;
}

DeviceValues DeviceWatch::last_good(size_t device) const {
  MutexLock hold(lock_);
  return devices_.at(device).last_good;
}

uint32_t DeviceWatch::unreachable_mask() const {
  MutexLock hold(lock_);
  uint32_t mask = 0;
  for (size_t i = 0; i < devices_.size(); ++i) {
    if (devices_[i].down) mask |= 1u << i;
  }
  return mask;
}

std::string IoImage::devinfo_value4() const {
  if (!watched_ || !report_mask_) return "0";
  return std::to_string(watch_.unreachable_mask());
}
