// A port in memory in place of a serial port; the test is the far end. What it
// delivers waits for the reader, who may be made to see a few bytes at a time;
// reads can fail with EAGAIN, a write can come up short, the far end can hang
// up. The reader's pauses are the virtual clock's. A responder, when set,
// answers each write at once.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <utility>

#include "common/clock.h"
#include "serial/byte_stream.h"

class MemoryStream : public ByteStream {
 public:
  explicit MemoryStream(int number, std::string path = "/dev/ttyUSB0")
      : number_(number), path_(std::move(path)) {}

  void deliver(const std::string& bytes) { in_ += bytes; }
  void split(size_t n) { split_ = n; }  // bytes seen per look (0: all)
  void fail_reads(int n) { eagain_ = n; }
  void short_write() { short_write_ = true; }
  void hang_up() { hung_up_ = true; }
  std::function<void(const std::string&)> responder;
  // What was written since the last look.
  std::string written() { return std::exchange(out_, {}); }

  int number() const override { return number_; }
  int waiting() const override {
    if (!open_) return -EBADF;
    return static_cast<int>(split_ == 0 ? in_.size() : std::min(split_, in_.size()));
  }
  int read(void* buffer, int length) override {
    if (!open_) return -EBADF;
    if (eagain_-- > 0) return -EAGAIN;
    const size_t n = std::min(static_cast<size_t>(length), in_.size());
    std::memcpy(buffer, in_.data(), n);
    in_.erase(0, n);
    return static_cast<int>(n);
  }
  int write(const void* buffer, int length) override {
    if (!open_) return -EBADF;
    const std::string text(static_cast<const char*>(buffer), static_cast<size_t>(length));
    out_ += std::exchange(short_write_, false) ? text.substr(0, text.size() / 2) : text;
    if (responder) responder(text);
    return out_.ends_with(text) ? length : -EAGAIN;
  }
  void wait(uint64_t micros) override { clock_sleep_us(micros); }
  const char* lost_reason(bool) override {
    return open_ && hung_up_ && in_.empty() ? "hang-up" : nullptr;
  }
  bool is_open() const override { return open_; }
  std::string path() const override { return path_; }
  int open_line(const LineSettings&) override { return reopen(); }
  int reopen() override {
    open_ = true;
    hung_up_ = false;
    return 0;
  }
  int close() override {
    open_ = false;
    in_.clear();
    return 0;
  }

 private:
  int number_;
  std::string path_;
  std::string in_, out_;
  size_t split_ = 0;
  int eagain_ = 0;
  bool short_write_ = false, hung_up_ = false, open_ = true;
};
