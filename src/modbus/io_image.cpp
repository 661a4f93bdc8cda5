#include "modbus/io_image.h"

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
