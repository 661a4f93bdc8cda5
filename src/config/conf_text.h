// What the three configuration readers share: their result (a value or a
// Refusal, with the console text reading printed), files read whole, then cut
// into lines exactly as a fixed-size fgets buffer cuts them, and the value of a
// "name=value" line.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "common/console.h"
#include "common/text.h"

// Why a configuration file is not used. The readers never end the process:
// start-up prints text and exits with status 1.
struct Refusal {
  std::string file;  // as configured, not as resolved under QUORVANE_ROOT
  int line = 0;      // the line at fault as the text names it; 0: none
  std::string text;  // the console line(s) that say why
};

// A refusal of line `line` of `file`: "Configure file <file>: line <line>"
// followed by what fmt renders.
template <typename... Args>
Refusal refusal_at(const char* file, int line, const char* fmt, Args... args) {
  char rest[256] = "";
  if constexpr (sizeof...(Args) == 0) {
    copy_text(rest, sizeof rest, fmt);  // nothing to render: not a format
  } else {
    bformat(rest, sizeof rest, fmt, args...);
  }
  char text[512];
  bformat(text, sizeof text, "Configure file %s: line %d%s", file, line, rest);
  return {file, line, text};
}

// A refusal of the file as a whole: "Configure file <file>: " and what fmt renders.
template <typename... Args>
Refusal refusal_of(const char* file, const char* fmt, Args... args) {
  char rest[384];
  bformat(rest, sizeof rest, fmt, args...);
  char text[512];
  bformat(text, sizeof text, "Configure file %s: %s", file, rest);
  return {file, 0, text};
}

// The refusal of a file that cannot be opened.
inline Refusal open_refusal(const char* file) {
  return {file, 0, "Open configure file fail!!"};
}

// What a reader gives back: the value it read or the refusal of the file, and
// in both cases the console text it printed on the way, in order.
template <typename T>
class ConfResult {
 public:
  ConfResult(T value, std::string console = {})
      : outcome_(std::move(value)), console_(std::move(console)) {}
  ConfResult(Refusal refusal, std::string console = {})
      : outcome_(std::move(refusal)), console_(std::move(console)) {}

  bool ok() const { return outcome_.index() == 0; }
  T& value() { return std::get<T>(outcome_); }
  const T& value() const { return std::get<T>(outcome_); }
  // nullptr when the file is accepted.
  const Refusal* refusal() const { return std::get_if<Refusal>(&outcome_); }
  const std::string& console() const { return console_; }

 private:
  std::variant<T, Refusal> outcome_;
  std::string console_;
};

// The whole file, or nullopt when it cannot be opened.
std::optional<std::string> read_whole_file(const std::string& path);

// The whole configuration file at path, resolved under QUORVANE_ROOT; nullopt
// when it cannot be opened.
std::optional<std::string> read_conf_file(const char* path);

// Appends printf-style text to a reader's console text (rendered into a bounded
// buffer of 512 bytes, ample for the 200-byte lines the readers echo).
void append_console(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// Cuts text into lines as fgets with a buffer of buffer_size bytes does: a
// line ends after its LF or after buffer_size - 1 characters, whichever comes
// first; the rest of a longer line is the next line. A line is seen up to its
// first NUL byte, as the string functions that look at it see it.
class ConfLineReader {
 public:
  ConfLineReader(std::string_view text, size_t buffer_size)
      : text_(text), buffer_size_(buffer_size) {}
  std::optional<std::string_view> next();
  // 1-based number of the last line returned (as cut by the buffer).
  int line_number() const { return line_number_; }

 private:
  std::string_view text_;
  size_t buffer_size_;
  size_t pos_ = 0;
  int line_number_ = 0;
};

// The value of a line that contains "=": the text after the first "=", with
// CRs directly after it passed over, up to the next CR. So "x=\r\n" gives the
// one-character text "\n", and a line ending in LF alone keeps its LF. A line
// without "=" has no value (nullopt).
std::optional<std::string_view> conf_value(std::string_view line);
