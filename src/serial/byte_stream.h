// The seam below the line readers: the bytes of one port as a stream. A serial
// port is one (serial/serial_port.h); tests put one in memory in its place.
// One user thread per stream.
//
// Results are errno-style, as the kernel's own calls answer: 0 or a count
// when the call went well, -errno when it did not.
#pragma once

#include <cstdint>
#include <string>

enum class Parity : uint8_t { kNone, kOdd, kEven };

// The line a port is opened at.
struct LineSettings {
  uint32_t baud;  // bit/s, one of the terminal speeds from 50 to 921600
  uint8_t data_bits;
  Parity parity;
  uint8_t stop_bits;
};

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // The number the console calls the port by in its lines (the modem's 10,
  // the GPS receiver's 11).
  virtual int number() const = 0;
  // Bytes waiting to be read, or -errno.
  virtual int waiting() const = 0;
  // Up to length bytes: the count, or -errno (-EAGAIN when nothing waits).
  virtual int read(void* buffer, int length) = 0;
  // One write, no retry: length, or -errno (-EAGAIN when the device took
  // only part of it).
  virtual int write(const void* buffer, int length) = 0;
  // Pauses the reader up to micros while it waits for more bytes.
  virtual void wait(uint64_t micros) = 0;
  // Why the far end is gone (a hang-up, a failed read or write; with
  // check_path, another device at the path), or nullptr while it is there.
  virtual const char* lost_reason(bool check_path) = 0;

  // What a keeper needs to reopen a lost stream (serial/port_keeper.h).
  virtual bool is_open() const = 0;
  virtual std::string path() const = 0;
  virtual int open_line(const LineSettings& line) = 0;
  virtual int reopen() = 0;
  virtual int close() = 0;
};
