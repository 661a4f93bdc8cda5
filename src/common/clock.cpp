#include "common/clock.h"

#include <sys/time.h>

#include <chrono>
#include <thread>

namespace {

class RealClock : public ClockSource {
 public:
  uint32_t ticks() override {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    // Unsigned arithmetic wraps, as the 32-bit tick does on the board.
    return static_cast<uint32_t>(static_cast<uint64_t>(tv.tv_sec) * 1000U +
                                 static_cast<uint64_t>(tv.tv_usec) / 1000U);
  }
  void sleep_us(uint64_t micros) override {
    std::this_thread::sleep_for(std::chrono::microseconds(micros));
  }
  std::time_t now() override { return std::time(nullptr); }
};

RealClock real_clock;
std::atomic<ClockSource*> current{&real_clock};

}  // namespace

uint32_t GetTimeTicks() {
  return current.load()->ticks();
}

void clock_sleep_seconds(unsigned seconds) {
  current.load()->sleep_us(static_cast<uint64_t>(seconds) * 1000000U);
}

void clock_sleep_us(uint64_t micros) {
  current.load()->sleep_us(micros);
}

std::time_t clock_time() {
  return current.load()->now();
}

void set_clock_source(ClockSource* source) {
  current.store(source != nullptr ? source : &real_clock);
}

void VirtualClock::sleep_us(uint64_t micros) {
  slept_us_ += micros;
  uint64_t total = micros_.load() + micros;
  advance_ms(static_cast<uint32_t>(total / 1000U));
  micros_.store(total % 1000U);
  uint32_t real = real_sleep_us_.load();
  if (real > 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(real));
  } else {
    std::this_thread::yield();
  }
}

void VirtualClock::advance_ms(uint32_t ms) {
  uint32_t before = ticks_.fetch_add(ms);
  // Whole seconds of wall time follow the ticks.
  uint32_t secs = (before % 1000U + ms) / 1000U;
  time_ += secs;
}
