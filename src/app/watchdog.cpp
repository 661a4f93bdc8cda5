#include "app/watchdog.h"

#include <pthread.h>
#include <systemd/sd-daemon.h>

#include <chrono>
#include <string>

#include "common/clock.h"

namespace {

// A monotonic clock, not the wall clock of the ticks: a time step (the board
// sets its clock late) must not look like a stall, nor hide one.
uint64_t monotonic_ms() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The interval the service manager asked for, 0 when it asked for none.
uint64_t requested_interval_us() {
  uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

}  // namespace

void StallWatch::watch(const Beat& beat, uint64_t now_ms) {
  if (n_ < watched_.size()) watched_[n_++] = {&beat, beat.count(), now_ms};
}

bool StallWatch::alive(uint64_t now_ms) {
  bool alive = true;
  for (size_t i = 0; i < n_; ++i) {
    Watched& w = watched_[i];
    const uint32_t count = w.beat->count();
    if (count != w.count) {
      w.count = count;
      w.moved_ms = now_ms;
    } else if (now_ms - w.moved_ms > window_ms_) {
      alive = false;
    }
  }
  return alive;
}

ServiceWatchdog::ServiceWatchdog()
    : interval_us_(requested_interval_us()), stalls_(interval_us_ / 1000) {}

void ServiceWatchdog::watch(const Beat& beat) {
  MutexLock lock(mutex_);
  stalls_.watch(beat, monotonic_ms());
}

bool ServiceWatchdog::start() {
  if (interval_us_ == 0) return true;
  pthread_t id;
  if (pthread_create(&id, nullptr, &ServiceWatchdog::run, this) != 0) return false;
  pthread_setname_np(id, "qv-watchdog");
  return true;
}

void ServiceWatchdog::ready() {
  {
    MutexLock lock(mutex_);
    ready_ = true;
  }
  sd_notify(0, "READY=1");
}

void* ServiceWatchdog::run(void* self) {
  static_cast<ServiceWatchdog*>(self)->ping_when_alive();
  return nullptr;
}

void ServiceWatchdog::ping_when_alive() {
  const std::string starting =
      "WATCHDOG=1\nEXTEND_TIMEOUT_USEC=" + std::to_string(2 * interval_us_);
  for (;;) {
    bool alive = false;
    bool ready = false;
    {
      MutexLock lock(mutex_);
      alive = stalls_.alive(monotonic_ms());
      ready = ready_;
    }
    if (alive) sd_notify(0, ready ? "WATCHDOG=1" : starting.c_str());
    clock_sleep_us(interval_us_ / 4);
  }
}
