#include "messaging/downlink_common.h"

#include <algorithm>

#include "common/console.h"

namespace {
constexpr const char* kUnknownSession = "Session ID %d is not configured. Command ignored!!\n";
}  // namespace

std::optional<int> find_session_index(const Mapping& mapping, int32_t session_id) {
  int count = std::clamp(mapping.session_count, 0, kMaxSessions);
  for (int i = 0; i < count; ++i) {
    if (mapping.session_id[i] == session_id) return i;
  }
  return std::nullopt;
}

void refuse_unknown_session(int32_t session_id) {
  console().print(kUnknownSession, session_id);
}
