#include "config/conf_text.h"

#include <fstream>
#include <iterator>

#include "common/text.h"

std::optional<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
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
  if (start == std::string_view::npos) return std::string_view{};
  rest = rest.substr(start);
  return cut_at(rest, "\r");
}
