// Reading helpers shared by the three configuration readers: files read whole,
// then cut into lines exactly as a fixed-size fgets buffer cuts them, and the
// value of a "name=value" line.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

// The whole file, or nullopt when it cannot be opened.
std::optional<std::string> read_whole_file(const std::string& path);

// The whole configuration file at the fixed path (resolved under QUORVANE_ROOT).
// A file that cannot be opened ends the process: "Open configure file fail!!",
// status 1.
std::string read_conf_file(const char* path);

// What a reader produced: its console text is printed as it stands; a refusal
// line then ends the process with status 1.
void finish_conf_read(const std::string& console, const std::optional<std::string>& error);

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
