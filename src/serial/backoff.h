// When to try again after a failed attempt: one second after the first
// failure, the wait doubling with each further one up to 30 seconds; a
// success starts over. Times are ticks of the program's clock
// (common/clock.h), so the waits run on the virtual clock in tests.
#pragma once

#include <algorithm>
#include <cstdint>

#include "common/clock.h"

class Backoff {
 public:
  static constexpr uint32_t kFirstMs = 1000;
  static constexpr uint32_t kLongestMs = 30000;

  // An attempt failed at now: the next is due one wait later, and the wait
  // after that is twice as long.
  void failed(uint32_t now) {
    failed_at_ = now;
    due_after_ = next_;
    next_ = std::min(next_ * 2, kLongestMs);
  }
  // Whether an attempt may be made at now (at once before any failure).
  bool due(uint32_t now) const { return ticks_elapsed(now, failed_at_) >= due_after_; }
  // An attempt succeeded.
  void reset() {
    due_after_ = 0;
    next_ = kFirstMs;
  }

 private:
  uint32_t failed_at_ = 0;
  uint32_t due_after_ = 0;
  uint32_t next_ = kFirstMs;
};
