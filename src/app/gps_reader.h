// The GPS reader: NMEA 0183 lines from the GPS port, keeping the last
// recommended-minimum sentence ("$GPRMC") in a GpsFix, which the report loop
// sends once per session and cycle.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/gps_filter.h"
#include "common/gps_fix.h"

class ByteStream;
class PortKeeper;

// One GPS line being put together, byte by byte: every byte is kept, each ','
// stored as ':' (the fix's fields are read colon-separated). A line is
// complete at its LF; one that outgrows its 1023 bytes is dropped up to its LF.
class NmeaLine {
 public:
  static constexpr size_t kCapacity = 1023;
  enum class Event : uint8_t { kNone, kLine, kOverflow };

  Event feed(uint8_t byte);
  // Every byte held (NULs included); the filters see the text up to a NUL.
  std::string_view bytes() const { return {buf_.data(), len_}; }
  std::string_view text() const { return bytes().substr(0, bytes().find('\0')); }
  void clear() { len_ = 0; }

 private:
  std::array<char, kCapacity> buf_{};
  size_t len_ = 0;
  bool skipping_ = false;  // inside an overlong line, until its LF
};

// The GPS port's lines. Bytes read and not yet taken wait for the next call
// (4096 at most, the oldest dropped with a console line). On a kept port the
// port is made ready before each read, and what was read from a device that
// has since been replaced is dropped. One thread uses it.
class GpsLines {
 public:
  explicit GpsLines(ByteStream& port) : port_(port) {}
  explicit GpsLines(PortKeeper& keeper);
  // One line into response (1024 bytes, cleared): 0 when no byte was waiting,
  // else 1 with the line, or at the time-out 60 s from the first byte (with an
  // empty response and *timed_out set, when given).
  int read_line(char* response, bool* timed_out = nullptr);
  // True when a complete line waits for the next call.
  bool line_waiting();

 private:
  void pull();

  ByteStream& port_;
  PortKeeper* keeper_ = nullptr;
  uint32_t returns_seen_ = 0;
  std::string pending_;
};

// One pass of the reader: receives a line from the GPS port's reader, stores an accepted sentence,
// and pauses one second unless the line is one that is skipped at once. The pause is taken only
// while no complete line waits on the GPS port, so that the reader keeps up with a receiver that
// sends several sentences a second and reports the newest position. Answers the line's verdict
// (kNoRmc when nothing was waiting).
GpsVerdict gps_read_pass(GpsLines& reader, GpsFix& fix,
                         const std::vector<std::string>& talkers = {"GP"});

// What the GPS thread works on: the receiver's port (reopened when it is lost;
// the fix keeps the last sentence meanwhile), and the fix it keeps.
struct GpsJob {
  PortKeeper& port;
  GpsFix& fix;
  std::vector<std::string> talkers = {"GP"};  // whose RMC sentences are kept
};

// The GPS thread's body (for pthread_create; the argument is the GpsJob). It
// prints its start banner and runs passes for ever.
void* thread_gps(void* job);
