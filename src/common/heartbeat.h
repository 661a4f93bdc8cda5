// A loop's sign of life for the service watchdog: the loop marks its beat
// each time it passes a point that it reaches again within a bounded time
// while it works (a report pass, an AT exchange, a polling pass). A loop that
// is blocked for good marks no more; the watchdog sees its beat stand still.
#pragma once

#include <atomic>
#include <cstdint>

class Beat {
 public:
  void mark() { count_.fetch_add(1, std::memory_order_relaxed); }
  uint32_t count() const { return count_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint32_t> count_{0};
};
