// One numbered serial port on a terminal device, owned by its one user (the
// modem's AT channel, the GPS reader): the descriptor, the settings last
// applied, reads and writes through the POSIX terminal interface. Closed with
// the object.
//
// Port numbers: 0-9 are ttyO0-9, 10-19 ttyUSB0-9, 20-32 ttyACM0-12, each path
// resolved under QUORVANE_ROOT. Failures are answered with the port library's
// codes (serial/uart.h).
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

// The device path of a port number (under QUORVANE_ROOT), or "" for a number
// outside 0 to 32.
std::string port_device_path(int port);

class SerialPort : public ByteStream {
 public:
  explicit SerialPort(int number) : number_(number) {}

  int number() const override { return number_; }
  // The device path it opens (under QUORVANE_ROOT).
  std::string path() const override { return port_device_path(number_); }
  bool is_open() const override { return fd_.valid(); }
  // The settings last applied (zeroed when never applied).
  const termios& settings() const { return settings_; }

  // Opens the device (again, when it was open) non-blocking, at 115200 bit/s
  // 8N1 in canonical mode. ZOL_OK or a negative code; a device that is not a
  // terminal is closed again.
  int open_device();
  // Raw mode at a baud index (0-19) and format byte (0-63) of the tables.
  int configure(int baud_index, int format);
  // open_device and configure in everyday units: 0, ZOL_BAD_PARAM for a
  // format out of range (before opening), or the first failure's code
  // (UART_OPEN_FAILED when the device does not open). A port whose settings
  // were refused stays open at the open settings.
  int open_line(uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop) override;
  int close() override;
  // open_line again with the line settings of the last open_line (ZOL_NOT_OPEN
  // when there was none).
  int reopen() override;

  // Why the open device is no longer this port's, or nullptr while it is (or
  // when the port is not open): a read or write that failed with EIO, ENXIO
  // or ENODEV, a hang-up or device error with nothing left to read, or, when
  // check_path is set, the path naming another device than the one held. A
  // path that names nothing says nothing by itself: the held device may still
  // work, and one that went away shows a hang-up.
  const char* lost_reason(bool check_path) override;

  // One write, no retry: length, or a negative code (a short write included).
  int write(const void* buffer, int length) override;
  // Up to length bytes: the count, or a negative code (nothing waiting too).
  int read(void* buffer, int length) override;
  // ZOL_FLUSH_OUTPUT, ZOL_FLUSH_INPUT or ZOL_FLUSH_BOTH.
  int flush(int which);
  // Bytes waiting to be read, or a negative code.
  int waiting() const override;
  // A pause of the program's clock.
  void wait(uint64_t micros) override;

 private:
  bool apply(const termios& t);
  void note_failure();

  struct Line {
    uint32_t baud;
    uint8_t data_bits, parity, stop;
  };

  int number_;
  UniqueFd fd_;
  termios settings_{};
  std::optional<Line> line_;  // what the last open_line was given
  int gone_errno_ = 0;        // a read or write found the device gone
};
