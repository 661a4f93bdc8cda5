#include "config/options_conf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "common/paths.h"
#include "common/text.h"

namespace {

constexpr char kNoKeyValue[] = ": \"%s\" is not key=value!!";
constexpr char kUnknownKey[] = ": unknown key %s!!";
constexpr char kGivenTwice[] = ": key %s given twice (first on line %d)!!";
constexpr char kBadValue[] = ": key %s has value \"%s\", not %s!!";
constexpr char kUnreadable[] = "cannot be read (%s)!!";

std::string_view trim(std::string_view text) {
  constexpr std::string_view kBlanks = " \t";
  const size_t start = text.find_first_not_of(kBlanks);
  if (start == std::string_view::npos) return text.substr(text.size());
  return text.substr(start, text.find_last_not_of(kBlanks) - start + 1);
}

// Index of the key in kOptionKeys, or kOptionCount.
size_t key_index(std::string_view name) {
  size_t i = 0;
  while (i < kOptionCount && name != kOptionKeys[i].name) ++i;
  return i;
}

bool is_choice(std::string_view value, std::string_view choices) {
  for (size_t start = 0;;) {
    const size_t bar = choices.find('|', start);
    if (choices.substr(start, bar - start) == value) return true;
    if (bar == std::string_view::npos) return false;
    start = bar + 1;
  }
}

// Calls f on every comma-separated item, blanks around it left out.
template <typename F>
void for_each_item(std::string_view list, F f) {
  for (size_t start = 0;;) {
    const size_t comma = list.find(',', start);
    f(trim(list.substr(start, comma - start)));
    if (comma == std::string_view::npos) return;
    start = comma + 1;
  }
}

}  // namespace

bool is_talker_list(std::string_view value) {
  bool ok = true;
  for_each_item(value, [&](std::string_view item) {
    ok = ok && item.size() == 2 && item[0] >= 'A' && item[0] <= 'Z' && item[1] >= 'A' &&
         item[1] <= 'Z';
  });
  return ok;
}

Options::Options() {
  for (size_t i = 0; i < kOptionCount; ++i) values_[i] = kOptionKeys[i].default_value;
}

const std::string& Options::value(std::string_view key) const {
  return values_.at(key_index(key));
}

bool Options::given(std::string_view key) const {
  return lines_.at(key_index(key)) != 0;
}

void Options::set(size_t index, std::string_view value, int line) {
  values_.at(index) = std::string(value);
  lines_.at(index) = line;
}

std::vector<std::string> gps_talkers(const Options& o) {
  std::vector<std::string> talkers;
  for_each_item(o.value("gps_talkers"), [&](std::string_view item) { talkers.emplace_back(item); });
  return talkers;
}

ConfResult<Options> parse_options_conf(std::string_view text, const char* file) {
  Options options;
  int line_number = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++line_number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = trim(line);
    if (line.empty() || line.front() == '#') continue;

    const size_t eq = line.find('=');
    if (eq == std::string_view::npos || eq == 0) {
      return refusal_at(file, line_number, kNoKeyValue, std::string(line).c_str());
    }
    const std::string key(trim(line.substr(0, eq)));
    const std::string value(trim(line.substr(eq + 1)));
    const size_t index = key_index(key);
    if (index == kOptionCount) return refusal_at(file, line_number, kUnknownKey, key.c_str());
    if (options.lines()[index] != 0) {
      return refusal_at(file, line_number, kGivenTwice, key.c_str(), options.lines()[index]);
    }
    const OptionKey& row = kOptionKeys[index];
    const bool accepted =
        row.accepts != nullptr ? row.accepts(value) : is_choice(value, row.choices);
    if (!accepted) {
      return refusal_at(file, line_number, kBadValue, key.c_str(), value.c_str(), row.choices);
    }
    options.set(index, value, line_number);
  }
  return options;
}

ConfResult<Options> read_options_conf(const char* path) {
  const std::string resolved = resolve_path(path);
  // Absent is the usual case: every key at its default. Present but unreadable
  // is refused, or the settings written there would be silently ignored.
  if (::access(resolved.c_str(), F_OK) != 0 && errno == ENOENT) return Options{};
  auto text = read_whole_file(resolved);
  if (!text) return refusal_of(path, kUnreadable, std::strerror(errno));
  return parse_options_conf(*text, path);
}
