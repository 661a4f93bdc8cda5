// The GPS reader: NMEA 0183 lines from the GPS port, keeping the last
// recommended-minimum sentence ("$GPRMC") in a GpsFix, which the report loop
// sends once per session and cycle.
#pragma once

#include <string>
#include <vector>

#include "app/gps_filter.h"
#include "common/gps_fix.h"

class LineReader;
class PortKeeper;

// One pass of the reader: receives a line from the GPS port's reader, stores an accepted sentence,
// and pauses one second unless the line is one that is skipped at once. The pause is taken only
// while no complete line waits on the GPS port, so that the reader keeps up with a receiver that
// sends several sentences a second and reports the newest position. Answers the line's verdict
// (kNoRmc when nothing was waiting).
GpsVerdict gps_read_pass(LineReader& reader, GpsFix& fix,
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
