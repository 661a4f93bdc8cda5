#include "config/conf_text.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

#include "common/paths.h"
#include "common/text.h"

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::optional<std::string> read_conf_file(const char* path) {
  return read_whole_file(resolve_path(path));
}

void append_console(std::string& out, const char* fmt, ...) {
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  int n = std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(line, std::min(static_cast<size_t>(n), sizeof line - 1));
}

std::optional<std::string_view> ConfLineReader::next() {
  if (pos_ >= text_.size()) return std::nullopt;
  size_t max = buffer_size_ > 1 ? buffer_size_ - 1 : 1;
  size_t end = pos_;
  while (end < text_.size() && end - pos_ < max) {
    if (text_[end++] == '\n') break;
  }
  std::string_view raw = text_.substr(pos_, end - pos_);
  pos_ = end;
  ++line_number_;
  return c_text(raw.data(), raw.size());
}

std::optional<std::string_view> conf_value(std::string_view line) {
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  std::string_view rest = line.substr(eq + 1);
  size_t start = rest.find_first_not_of('\r');
  // Empty, but pointing into the line: callers may copy from it.
  if (start == std::string_view::npos) return rest.substr(rest.size());
  rest = rest.substr(start);
  return cut_at(rest, "\r");
}
