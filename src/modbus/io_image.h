// The gateway's I/O image: the values of every session, shared by the polling
// thread (which stores each scan), the report loop (which reports copies) and
// the command write-backs (which set outputs). Built once by app/ and handed
// to each of them by reference.
#pragma once

#include <array>
#include <cstdint>

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
};
