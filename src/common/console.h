// The console and the one bounded printf. The console is standard output,
// line-buffered even when it is a pipe or a file, so that journald and test
// harnesses see each line as it is written; its few error texts go to standard
// error. Every text passes through one Console, which tests point at a sink of
// their own instead of capturing the process's streams.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <optional>
#include <span>
#include <string_view>

#include "common/thread_annotations.h"

// printf into a fixed buffer, the one bounded printf every console text and
// built text goes through. Returns the length written, or nullopt when the
// text did not fit (out then holds it cut) or out is empty; out is always
// NUL-terminated when it is not empty.
std::optional<size_t> vbformat(std::span<char> out, const char* fmt, va_list ap);

// bformat: printf into out; false (out holds the cut text) when it did not fit.
bool bformat(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// bappend: appends to the NUL-terminated text already in out; false when it did
// not fit (out is then left as it was).
bool bappend(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

template <size_t N>
bool bformat(std::array<char, N>& out, const char* fmt, auto... args) {
  return bformat(out.data(), N, fmt, args...);
}

enum class ConsoleStream { kOut, kErr };

// Where the console's texts go instead of the streams: the tests, and
// quorvane-check while the Modbus engine prints.
class ConsoleSink {
 public:
  virtual void write(ConsoleStream stream, std::string_view text) = 0;

 protected:
  ~ConsoleSink() = default;
};

// Each call writes its text whole: texts of several threads never mix within
// a call (a line written in several calls may, as with printf).
class Console {
 public:
  // A printf text longer than this is cut. The longest the gateway prints is a
  // modem answer or a datagram's line, below 1100 characters.
  static constexpr size_t kMaxText = 4095;

  // printf, the text as it stands (no line end added).
  void print(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The text followed by "\n", as puts does.
  void line(std::string_view text) { emit(ConsoleStream::kOut, text, "\n"); }
  // The text as it stands.
  void write(std::string_view text) { emit(ConsoleStream::kOut, text); }
  // The text as it stands, to standard error.
  void error(std::string_view text) { emit(ConsoleStream::kErr, text); }

  // Every text goes to sink instead of the streams (nullptr: back to the
  // streams). Returns the sink set before.
  ConsoleSink* set_sink(ConsoleSink* sink);

  // A text that never reaches the console: wherever a written text holds
  // secret, shown is written in its place (the MQTT credentials of a command
  // line, in the command and in the modem's echo of it). One at a time; an
  // empty secret, or one longer than kMaxSecret, masks nothing.
  static constexpr size_t kMaxSecret = 127;
  void mask(std::string_view secret, std::string_view shown);

 private:
  void emit(ConsoleStream stream, std::string_view text, std::string_view tail = {});
  void put(ConsoleStream stream, std::string_view text) REQUIRES(mutex_);

  Mutex mutex_;
  ConsoleSink* sink_ GUARDED_BY(mutex_) = nullptr;
  // Fixed arrays: the console stays constant-initialised and trivially
  // destructible.
  std::array<char, kMaxSecret> secret_ GUARDED_BY(mutex_){};
  size_t secret_len_ GUARDED_BY(mutex_) = 0;
  std::array<char, kMaxSecret> shown_ GUARDED_BY(mutex_){};
  size_t shown_len_ GUARDED_BY(mutex_) = 0;
};

// The process's console.
Console& console();

// Standard output line-buffered; called once at start-up, before any text.
void console_init();

// Ends the process after a fatal condition: flushes the console and exits with
// status 1, so that a supervisor sees the failure.
[[noreturn]] void fatal_exit();
