// The seam below the line readers: the bytes of one port as a stream. A serial
// port is one (serial/serial_port.h); tests put one in memory in its place.
// One user thread per stream.
#pragma once

#include <cstdint>
#include <string>

class ByteStream {
 public:
  virtual ~ByteStream() = default;

  // The port's number (the console names it so).
  virtual int number() const = 0;
  // Bytes waiting to be read, or a negative code.
  virtual int waiting() const = 0;
  // Up to length bytes: the count, or a negative code (nothing waiting too).
  virtual int read(void* buffer, int length) = 0;
  // One write, no retry: length, or a negative code (a short write included).
  virtual int write(const void* buffer, int length) = 0;
  // Pauses the reader up to micros while it waits for more bytes.
  virtual void wait(uint64_t micros) = 0;
  // Why the far end is gone (a hang-up, a failed read or write; with
  // check_path, another device at the path), or nullptr while it is there.
  virtual const char* lost_reason(bool check_path) = 0;

  // What a keeper needs to reopen a lost stream (serial/port_keeper.h).
  virtual bool is_open() const = 0;
  virtual std::string path() const = 0;
  virtual int open_line(uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop) = 0;
  virtual int reopen() = 0;
  virtual int close() = 0;
};
