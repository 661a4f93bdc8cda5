#include "common/console.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Constant-initialised and trivially destructible: usable before main and by
// threads that still print while the process ends.
constinit Console process_console;

}  // namespace

std::optional<size_t> vbformat(std::span<char> out, const char* fmt, va_list ap) {
  if (out.empty()) return std::nullopt;
  int n = std::vsnprintf(out.data(), out.size(), fmt, ap);
  if (n < 0) {
    out[0] = '\0';
    return std::nullopt;
  }
  if (static_cast<size_t>(n) >= out.size()) return std::nullopt;
  return static_cast<size_t>(n);
}

bool bformat(char* out, size_t cap, const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  bool ok = vbformat({out, cap}, fmt, ap).has_value();
  va_end(ap);
  return ok;
}

bool bappend(char* out, size_t cap, const char* fmt, ...) {
  size_t used = strnlen(out, cap);
  if (used >= cap) return false;
  va_list ap;
  va_start(ap, fmt);
  bool ok = vbformat({out + used, cap - used}, fmt, ap).has_value();
  va_end(ap);
  if (!ok) out[used] = '\0';
  return ok;
}

Console& console() {
  return process_console;
}

void Console::print(const char* fmt, ...) {
  std::array<char, kMaxText + 1> text;
  va_list ap;
  va_start(ap, fmt);
  std::optional<size_t> n = vbformat(text, fmt, ap);
  va_end(ap);
  // A text that did not fit is printed cut.
  emit(ConsoleStream::kOut, n ? std::string_view(text.data(), *n) : std::string_view(text.data()));
}

ConsoleSink* Console::set_sink(ConsoleSink* sink) {
  MutexLock lock(mutex_);
  ConsoleSink* before = sink_;
  sink_ = sink;
  return before;
}

void Console::mask(std::string_view secret, std::string_view shown) {
  MutexLock lock(mutex_);
  if (secret.empty() || secret.size() > kMaxSecret || shown.size() > kMaxSecret) {
    secret_len_ = 0;
    return;
  }
  std::copy(secret.begin(), secret.end(), secret_.begin());
  secret_len_ = secret.size();
  std::copy(shown.begin(), shown.end(), shown_.begin());
  shown_len_ = shown.size();
}

void Console::emit(ConsoleStream stream, std::string_view text, std::string_view tail) {
  MutexLock lock(mutex_);
  const std::string_view secret(secret_.data(), secret_len_);
  if (secret_len_ == 0 || text.find(secret) == std::string_view::npos) {
    put(stream, text);
  } else {
    std::string masked(text);
    for (size_t at = 0; (at = masked.find(secret, at)) != std::string::npos; at += shown_len_) {
      masked.replace(at, secret_len_, shown_.data(), shown_len_);
    }
    put(stream, masked);
  }
  put(stream, tail);
}

void Console::put(ConsoleStream stream, std::string_view text) {
  // An empty view may have no data at all, which fwrite must not be given.
  if (text.empty()) return;
  if (sink_ != nullptr) {
    sink_->write(stream, text);
    return;
  }
  std::fwrite(text.data(), 1, text.size(), stream == ConsoleStream::kOut ? stdout : stderr);
}

void console_init() {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
}

void fatal_exit() {
  std::fflush(stdout);
  std::fflush(stderr);
  // _Exit, not exit: a fatal path may be taken on the polling thread while the
  // other threads go on, and exit() would run the static destructors (the
  // clock, the locks) under their feet.
  std::_Exit(1);
}
