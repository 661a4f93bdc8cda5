// systemd's service notifications: READY=1 once start-up has finished, and
// the watchdog's WATCHDOG=1 pings, sent only while every watched loop makes
// progress. A loop blocked for good (a deadlock, a call that never returns)
// stops the pings, and systemd restarts the daemon after WatchdogSec.
//
// Without a service manager (NOTIFY_SOCKET and WATCHDOG_USEC unset) nothing
// is sent and no thread is started.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/heartbeat.h"
#include "common/thread_annotations.h"

// Whether the watched loops are alive: each beat has moved within the window
// (milliseconds of a monotonic clock, given by the caller). A beat counts as
// moved when it is first watched.
class StallWatch {
 public:
  static constexpr size_t kMaxBeats = 4;

  explicit StallWatch(uint64_t window_ms) : window_ms_(window_ms) {}
  void watch(const Beat& beat, uint64_t now_ms);
  // Takes in the beats' counts and answers whether none has stood still for
  // longer than the window.
  bool alive(uint64_t now_ms);

 private:
  struct Watched {
    const Beat* beat;
    uint32_t count;
    uint64_t moved_ms;
  };
  uint64_t window_ms_;
  std::array<Watched, kMaxBeats> watched_{};
  size_t n_ = 0;
};

class ServiceWatchdog {
 public:
  // Reads the watchdog interval the service manager asked for
  // (WATCHDOG_USEC, with WATCHDOG_PID when set naming this process).
  ServiceWatchdog();
  ServiceWatchdog(const ServiceWatchdog&) = delete;
  ServiceWatchdog& operator=(const ServiceWatchdog&) = delete;

  // From now on the pings need this loop's beat to move too.
  void watch(const Beat& beat);
  // Starts the pinging thread when the manager asked for pings. It checks
  // four times per interval and pings when every watched beat has moved
  // within the interval. Until ready() each ping also extends the start-up
  // time-out by two intervals, so a bring-up that waits for the network long
  // but makes progress is not taken for a start-up that hangs. False when
  // the thread could not be created.
  bool start();
  // READY=1: start-up has finished.
  void ready();

 private:
  static void* run(void* self);
  void ping_when_alive();

  const uint64_t interval_us_;
  Mutex mutex_;
  StallWatch stalls_ GUARDED_BY(mutex_);
  bool ready_ GUARDED_BY(mutex_) = false;
};
