// The optional options file: named "key=value" settings for behaviours the
// three positional files have no place for. Absent, every key holds its
// default and the gateway behaves as it always has. Unlike the positional
// files, nothing here is guessed: an unknown key, a key given twice or a
// value outside the key's choices refuses the file, so that a typing mistake
// never falls back to a default unnoticed.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "config/conf_text.h"

// One key of the file. Adding a key is adding its row to kOptionKeys.
struct OptionKey {
  const char* name;
  const char* default_value;
  // The accepted values, separated by "|"; or, when `accepts` is set, how
  // they are described in a refusal.
  const char* choices;
  // Decides values that are no fixed list (null: one of `choices`).
  bool (*accepts)(std::string_view value);
};

// A comma list of two-letter NMEA talkers ("GP,GN"); blanks around an item
// are allowed.
bool is_talker_list(std::string_view value);

inline constexpr OptionKey kOptionKeys[] = {
    {"device_outage", "exit", "exit|keep_running", nullptr},
    {"unreachable_report", "none", "none|devinfo", nullptr},
    {"gps_talkers", "GP", "a comma list of two-letter NMEA talkers", is_talker_list},
};
inline constexpr size_t kOptionCount = std::size(kOptionKeys);

// The file's keys, each with its value (the default when the file does not
// give it).
class Options {
 public:
  Options();
  // The value of a key of kOptionKeys (an unknown name is a programming error).
  const std::string& value(std::string_view key) const;
  bool is(std::string_view key, std::string_view value) const { return this->value(key) == value; }
  // True when the file gave the key (the value may still equal the default).
  bool given(std::string_view key) const;

  // In kOptionKeys order.
  const std::array<std::string, kOptionCount>& values() const { return values_; }
  const std::array<int, kOptionCount>& lines() const { return lines_; }

  // Sets the value of key number index, read from line `line`.
  void set(size_t index, std::string_view value, int line);

 private:
  std::array<std::string, kOptionCount> values_;
  std::array<int, kOptionCount> lines_{};  // 0: not given
};

// The typed views of the keys, for the modules that act on them.
inline bool keeps_running(const Options& o) {
  return o.is("device_outage", "keep_running");
}
inline bool reports_unreachable(const Options& o) {
  return o.is("unreachable_report", "devinfo");
}
// The talkers of gps_talkers, in the order given.
std::vector<std::string> gps_talkers(const Options& o);

// The options in the file's text. file: the name refusals show.
ConfResult<Options> parse_options_conf(std::string_view text, const char* file);

// Reads the file at path (resolved under QUORVANE_ROOT). An absent file gives
// the defaults; a file that exists but cannot be read is refused.
ConfResult<Options> read_options_conf(const char* path);
