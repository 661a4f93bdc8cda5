// Console output and the fatal path. The console is standard output,
// line-buffered even when it is a pipe or a file, so that journald and test
// harnesses see each line as it is written.
#pragma once

#include <array>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

void console_init();

// Prints the text followed by "\n", as puts does.
void console_line(const char* text);

// Ends the process after a fatal condition: flushes the console and exits with
// status 1, so that a supervisor sees the failure.
[[noreturn]] void fatal_exit();

// printf into a fixed buffer. Returns false (buffer holds the cut text) when
// the text did not fit.
bool bformat(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
// Appends to the NUL-terminated text already in out; false when it did not fit
// (the buffer is then left as it was).
bool bappend(char* out, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

template <size_t N>
bool bformat(std::array<char, N>& out, const char* fmt, auto... args) {
  return bformat(out.data(), N, fmt, args...);
}
