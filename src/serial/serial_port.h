// One serial port on a terminal device, opened by its path and owned by its
// one user (the modem's AT channel, the GPS reader): the descriptor, the
// settings last applied, reads and writes through the POSIX terminal
// interface, errno-style results (serial/byte_stream.h). Closed with the
// object.
//
// A USB device that re-enumerates (a USB reset, a brown-out) leaves the open
// descriptor dead and may come back at the same path as a new device:
// lost_reason() tells, and reopen() opens the path again as it was opened
// (serial/port_keeper.h does both with a back-off).
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>
#include <string>

#include "common/unique_fd.h"
#include "serial/byte_stream.h"

class SerialPort : public ByteStream {
 public:
  // device: an absolute path, resolved under QUORVANE_ROOT; number: what the
  // console calls the port.
  SerialPort(const char* device, int number);

  int number() const override { return number_; }
  // The device path it opens.
  std::string path() const override { return path_; }
  bool is_open() const override { return fd_.valid(); }
  // The settings last applied (zeroed when never applied).
  const termios& settings() const { return settings_; }

  // Opens the device (again, when it was open) non-blocking, in raw mode at
  // the line given. 0; -EINVAL for a line outside the terminal's speeds, 5 to
  // 8 data bits or 1 to 2 stop bits (nothing opened); or the failed call's
  // -errno (the device does not open, is not a terminal, refuses the
  // settings), the port then closed.
  int open_line(const LineSettings& line) override;
  int close() override;
  // open_line again with the line of the last open_line (-EBADF when there
  // was none).
  int reopen() override;

  // Why the open device is no longer this port's, or nullptr while it is (or
  // when the port is not open): a read or write that failed with EIO, ENXIO
  // or ENODEV, a hang-up or device error with nothing left to read, or, when
  // check_path is set, the path naming another device than the one held. A
  // path that names nothing says nothing by itself: the held device may still
  // work, and one that went away shows a hang-up.
  const char* lost_reason(bool check_path) override;

  int write(const void* buffer, int length) override;
  int read(void* buffer, int length) override;
  int waiting() const override;
  // A pause of the program's clock.
  void wait(uint64_t micros) override;

 private:
  int failed();

  std::string path_;
  int number_;
  UniqueFd fd_;
  termios settings_{};
  std::optional<LineSettings> line_;  // what the last open_line was given
  int gone_errno_ = 0;                // a read or write found the device gone
};
