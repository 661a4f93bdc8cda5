#include "messaging/downlink_common.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>

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
  downlink_print(kUnknownSession, session_id);
}

void downlink_print(const char* fmt, ...) {
  // A frame field is below 1024 characters; its log line fits.
  std::array<char, 1280> line;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line.data(), line.size(), fmt, ap);
  va_end(ap);
  if (n < 0) return;
  std::fputs(line.data(), stdout);
}
