// Keeps a serial port open for its one user: a port whose device is lost
// (ByteStream::lost_reason, or the user's own finding, such as a modem that
// answers nothing) is closed and opened again by its path, with a back-off
// (serial/backoff.h), until it is back; so is a port that could not be opened
// at start-up. One console line when the port is lost (or cannot be opened)
// and one when it is back, not one per attempt.
#pragma once

#include <cstdint>

#include "serial/backoff.h"
#include "serial/byte_stream.h"

class PortKeeper {
 public:
  // name: what the console calls the port ("Modem", "GPS").
  PortKeeper(ByteStream& port, const char* name);

  // The first open, whose line every reopening uses: 0 or -errno (open_line's
  // result). A port that does not open is retried by ready().
  int open(const LineSettings& line);

  // Called before each use. True when the port is open and its device sound.
  // A lost port is closed here; a closed one is reopened once its wait has
  // passed. The path is looked at about once a second.
  bool ready();

  // The user found the device dead: it is closed, and reopened as above.
  void lose(const char* reason);

  // How often the port has come back (opened after a loss or a failed first
  // open): a user that keeps state about the far end compares it.
  uint32_t returns() const { return returns_; }
  ByteStream& port() { return port_; }

 private:
  ByteStream& port_;
  const char* name_;
  Backoff backoff_;
  uint32_t path_checked_ = 0;
  uint32_t returns_ = 0;
};
