#include "messaging/downlink_common.h"

#include <algorithm>

#include "common/console.h"
#include "modbus/modbus_io.h"

namespace {
constexpr const char* kUnknownSession = "Session ID %d is not configured. Command ignored!!\n";
constexpr const char* kDoSame = "DO values are same. No need to write values to modbus.";
constexpr const char* kAoSame = "AO values are same. No need to write values to modbus.";
constexpr const char* kDoDifferent = "DO values are different. Update values to modbus.";
constexpr const char* kAoDifferent = "AO values are different. Update values to modbus.";
}  // namespace

std::optional<int> find_session_index(const Mapping& mapping, int32_t session_id) {
  for (int i = 0; i < mapping.session_count; ++i) {
    if (mapping.session_id[i] == session_id) return i;
  }
  return std::nullopt;
}

void refuse_unknown_session(int32_t session_id) {
  console().print(kUnknownSession, session_id);
}

template <typename T>
IoResult write_if_changed(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                          int session, int32_t slots, const T* values, bool announce) {
  constexpr bool is_do = sizeof(T) == 1;
  const SessionValues now = io.copy(session);
  const T* current = nullptr;
  if constexpr (is_do) {
    current = now.do_value;
  } else {
    current = now.ao_value;
  }
  if (std::equal(values, values + slots, current)) {
    console().line(is_do ? kDoSame : kAoSame);
    return IoResult::kOk;
  }
  if (announce) console().line(is_do ? kDoDifferent : kAoDifferent);
  if constexpr (is_do) {
    return write_back(io, mapping, devices, session, values, nullptr);
  } else {
    return write_back(io, mapping, devices, session, nullptr, values);
  }
}

template IoResult write_if_changed<uint8_t>(IoImage&, const Mapping&, std::span<const MbDevice>,
                                            int, int32_t, const uint8_t*, bool);
template IoResult write_if_changed<uint16_t>(IoImage&, const Mapping&, std::span<const MbDevice>,
                                             int, int32_t, const uint16_t*, bool);
