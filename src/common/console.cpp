#include "common/console.h"

#include <cstdlib>
#include <cstring>

void console_init() { std::setvbuf(stdout, nullptr, _IOLBF, 0); }

void console_line(const char* text) { std::puts(text); }

void fatal_exit() {
  std::fflush(stdout);
  std::fflush(stderr);
  // _Exit, not exit: a fatal path may be taken on the polling thread while the
  // other threads go on, and exit() would run the static destructors (the
  // clock, the locks) under their feet.
  std::_Exit(1);
}

bool bformat(char* out, size_t cap, const char* fmt, ...) {
  if (cap == 0) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(out, cap, fmt, ap);
  va_end(ap);
  return n >= 0 && static_cast<size_t>(n) < cap;
}

bool bappend(char* out, size_t cap, const char* fmt, ...) {
  size_t used = strnlen(out, cap);
  if (used >= cap) return false;
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(out + used, cap - used, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= cap - used) {
    out[used] = '\0';
    return false;
  }
  return true;
}
