// The gateway's I/O image: the values of every session, shared by the polling
// thread (which stores each scan), the report loop (which reports copies) and
// the command write-backs (which set outputs). Built once by app/ and handed
// to each of them by reference.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "common/thread_annotations.h"
#include "config/configuration.h"

// One session's values; slot k is element k.
struct SessionValues {
  uint8_t do_value[kMaxSlots] = {};
  uint8_t di_value[kMaxSlots] = {};
  uint16_t ao_value[kMaxSlots] = {};
  uint16_t ai_value[kMaxSlots] = {};
};

// Which slots of a session a write-back sets.
using SlotMask = std::array<bool, kMaxSlots>;

// What an exchange, a scan or a write-back came to.
enum class IoResult {
  kOk,
  kReadError,    // a read request failed (printed); the exchange went on
  kUnreachable,  // a device gave no context or no connection: the gateway cannot go on
};

// One device's values as an exchange reads them; value j - 1 is channel j.
struct DeviceValues {
  uint8_t do_buf[kMaxSlots] = {};
  uint8_t di_buf[kMaxSlots] = {};
  uint16_t ao_buf[kMaxSlots] = {};
  uint16_t ai_buf[kMaxSlots] = {};
};

// With device_outage=keep_running: which devices can be reached, when an
// unreachable one is tried again, and each device's last good values. A device
// is unreachable after a refused connection, or after kFailedReadsForOutage
// exchanges in a row with a failed read (an RTU slave that stops answering
// still "connects": its serial line opens). It is then tried again after 1 s,
// doubling to 60 s, and back to 1 s after a success.
class DeviceWatch {
 public:
  // Three: one lost or garbled reply (a CRC error, a collision on the bus)
  // happens on a healthy line, three exchanges in a row (each of up to four
  // requests) are a slave that is gone; and each failed exchange costs the
  // scan up to four response time-outs, so the healthy devices wait at most
  // three times.
  static constexpr int kFailedReadsForOutage = 3;
  static constexpr uint32_t kFirstRetryMs = 1000;
  static constexpr uint32_t kLongestRetryMs = 60000;

  enum class Change { kNone, kLost, kBack };

  // Whether an exchange with device i is due at tick now (reachable, or its
  // retry time has come).
  bool due(size_t device, uint32_t now) const;
  bool reachable(size_t device) const;
  // The outcome of an exchange with device i at tick now; on success its
  // values (when given) become its last good ones. Says whether the device
  // was lost or is back.
  Change record(size_t device, IoResult outcome, uint32_t now, const DeviceValues* values);
  DeviceValues last_good(size_t device) const;
  // Bit n - 1 set for each unreachable device n.
  uint32_t unreachable_mask() const;

 private:
  struct Device {
    bool down = false;
    int failed_reads = 0;
    uint32_t retry_ms = kFirstRetryMs;  // the wait after the latest failure
    uint32_t failed_at = 0;             // tick of the latest failure
    DeviceValues last_good;
  };
  mutable Mutex lock_;
  std::array<Device, kMaxDevices> devices_ GUARDED_BY(lock_);
};

enum class Output { kDo, kAo };

// Each session has its own lock; a session index outside 0 .. kMaxSessions - 1
// throws std::out_of_range.
class IoImage {
 public:
  // A consistent copy of one session's values (copy_session_values).
  SessionValues copy(int session) const;

  // Scan, first half: the session's write-back count before the exchanges.
  uint32_t write_mark(int session) const;
  // Scan, second half: stores the scanned values and keeps them as the
  // session's last good ones; after a read error the session gets its last
  // good values instead. A scan that began during a write-back, or saw one
  // begin after `mark`, may have read outputs from before the write: it keeps
  // the commanded DO and AO values, which are newer.
  void store_scan(int session, const SessionValues& scanned, bool read_error, uint32_t mark);

  // Write-back, first half: the commanded value of every slot marked in `set`
  // goes into the session's DO (AO) values (DO keeps the low byte). Answers
  // the values from before.
  SessionValues begin_write_back(int session, Output out,
                                 const std::array<uint16_t, kMaxSlots>& values,
                                 const SlotMask& set);
  // Write-back, second half: the device writes are over.
  void end_write_back(int session);

  // device_outage=keep_running, set at start-up before the polling thread
  // starts: the scan and the write-back go on without the devices that cannot
  // be reached. report_mask: DEVINFO carries the mask of unreachable devices.
  void watch_devices(bool report_mask) {
    watched_ = true;
    report_mask_ = report_mask;
  }
  // Null unless watch_devices was called.
  DeviceWatch* watch() { return watched_ ? &watch_ : nullptr; }
  // The text of DEVINFO's fourth value: "0", or the decimal mask of the
  // devices unreachable now.
  std::string devinfo_value4() const;

 private:
  struct Session {
    mutable Mutex lock;
    SessionValues values GUARDED_BY(lock){};
    SessionValues last_good GUARDED_BY(lock){};
    // Stepped once when a write-back sets the values and once when its device
    // writes are done: odd while one is under way.
    uint32_t write_count GUARDED_BY(lock) = 0;
  };

  std::array<Session, kMaxSessions> sessions_;
  bool watched_ = false;  // written only before the threads start
  bool report_mask_ = false;
  DeviceWatch watch_;
};
