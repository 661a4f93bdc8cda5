// The program's clock: millisecond ticks and the sleeps. Every tick read and
// every sleep in the gateway goes through here, so that tests can install a
// virtual clock and run the 10, 30, 60 and 120 second limits in no real time.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

// Wall-clock seconds x 1000 + microseconds / 1000, wrapping in 32 bits (about
// every 49.7 days). Elapsed times are unsigned 32-bit differences of two ticks.
uint32_t GetTimeTicks();

// sleep() and usleep() of the clock in force.
void clock_sleep_seconds(unsigned seconds);
void clock_sleep_us(uint64_t micros);

// time() of the clock in force (used for the local-time text of JSON payloads).
std::time_t clock_time();

// Difference of two ticks, as the whole program takes it.
inline uint32_t ticks_elapsed(uint32_t now, uint32_t start) {
  return now - start;
}

class ClockSource {
 public:
  virtual ~ClockSource() = default;
  virtual uint32_t ticks() = 0;
  virtual void sleep_us(uint64_t micros) = 0;
  virtual std::time_t now() = 0;
};

// Installs a clock source for the whole process; nullptr restores the real one.
void set_clock_source(ClockSource* source);

// A clock that moves only when somebody sleeps on it. A sleep advances the
// virtual time at once and yields the processor (or really sleeps the given
// real time per call, for tests that wait on other processes).
class VirtualClock : public ClockSource {
 public:
  explicit VirtualClock(uint32_t start_ticks = 1000, std::time_t start_time = 1700000000)
      : ticks_(start_ticks), micros_(0), time_(start_time) {}
  uint32_t ticks() override { return ticks_.load(); }
  void sleep_us(uint64_t micros) override;
  std::time_t now() override { return time_.load(); }
  // Moves the clock without sleeping.
  void advance_ms(uint32_t ms);
  void set_ticks(uint32_t t) { ticks_.store(t); }
  // Real microseconds each virtual sleep also takes (0: only a yield).
  void set_real_sleep_us(uint32_t us) { real_sleep_us_.store(us); }
  uint64_t total_slept_us() const { return slept_us_.load(); }

 private:
  std::atomic<uint32_t> ticks_;
  std::atomic<uint64_t> micros_;  // sub-millisecond remainder
  std::atomic<std::time_t> time_;
  std::atomic<uint32_t> real_sleep_us_{0};
  std::atomic<uint64_t> slept_us_{0};
};

// Installs a clock for the lifetime of the guard (tests).
class ScopedClock {
 public:
  explicit ScopedClock(ClockSource& source) { set_clock_source(&source); }
  ~ScopedClock() { set_clock_source(nullptr); }
  ScopedClock(const ScopedClock&) = delete;
  ScopedClock& operator=(const ScopedClock&) = delete;
};
