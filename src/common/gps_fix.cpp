#include "common/gps_fix.h"

#include <cstring>

void GpsFix::copy(char (&out)[kSize]) const {
  MutexLock hold(lock_);
  std::memcpy(out, text_, sizeof out);
  out[kSize - 1] = '\0';
}

bool GpsFix::store(const char* text) {
  size_t n = strnlen(text, kSize);
  if (n > kSize - 1) return false;
  MutexLock hold(lock_);
  std::memset(text_, 0, sizeof text_);
  std::memcpy(text_, text, n);
  return true;
}
