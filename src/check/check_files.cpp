// quorvane-check files: the daemon's readers, then a lexical pass over the
// files' lines for what the readers cannot see.

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "check/check.h"
#include "common/paths.h"
#include "common/text.h"
#include "config/fixed_settings.h"
#include "config/io_type.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "config/options_conf.h"
#include "config/prog_conf.h"

namespace {

// What the tool shows for the MQTT password: it never prints it.
constexpr char kHiddenSecret[] = "***";

std::string fmt(const char* format, auto... args) {
  char text[512];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

// The line without its line end.
std::string_view bare(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The name before "=", blanks around it left out.
std::string line_name(std::string_view line) {
  std::string_view name = line.substr(0, line.find('='));
  while (!name.empty() && is_blank(name.front())) name.remove_prefix(1);
  while (!name.empty() && is_blank(name.back())) name.remove_suffix(1);
  return std::string(name);
}

// A line whose name is not the one of its position; shift is +1 when it is
// the next position's name (a line missing before it), -1 when it is the
// previous one's (a line too many), else 0.
struct Mismatch {
  int line;
  int shift;
  std::string text;
};

int shift_of(const std::string& name, const char* previous, const char* next) {
  if (next != nullptr && name == next) return 1;
  if (previous != nullptr && name == previous) return -1;
  return 0;
}

class Pass {
 public:
  Pass(FilesCheck& out, const char* file) : out_(out), file_(file) {}
  void warn(int line, std::string text) { out_.warnings.push_back({file_, line, std::move(text)}); }

  // Blanks at either end of a value belong to it: a host, topic or path with
  // a blank is not the one meant.
  void value_blanks(int line, std::string_view raw) {
    const std::string field = line_name(raw);
    auto value = conf_value(raw);
    if (!value) return;
    std::string_view v = bare(*value);
    if (!v.empty() && (is_blank(v.front()) || is_blank(v.back()))) {
      const std::string shown = field == "mqtt_password" ? kHiddenSecret : std::string(v);
      warn(line, fmt("the value of %s has a blank at its %s: \"%s\"", field.c_str(),
                     is_blank(v.back()) ? "end" : "start", shown.c_str()));
    }
  }

  // One warning per mismatch, but a run of lines all one position off is one
  // warning: a line missing or added shifts every later one.
  void mismatches(const std::vector<Mismatch>& list) {
    for (size_t i = 0; i < list.size();) {
      size_t j = i + 1;
      while (list[i].shift != 0 && j < list.size() && list[j].shift == list[i].shift &&
             list[j].line == list[j - 1].line + 1) {
        ++j;
      }
      if (j - i < 2) {
        warn(list[i].line, list[i].text);
      } else {
        const bool missing = list[i].shift > 0;
        warn(list[i].line,
             fmt("%s; lines %d to %d are each named as the position %s theirs: "
                 "%s before line %d, and every later value is read into the "
                 "wrong field",
                 list[i].text.c_str(), list[i].line, list[j - 1].line, missing ? "after" : "before",
                 missing ? "a line is missing" : "there is one line too many", list[i].line));
      }
      i = j;
    }
  }

  // Lines the reader stops before; warned when any of them holds text.
  void unread(ConfLineReader& lines, const char* why) {
    int first = 0, last = 0;
    while (auto l = lines.next()) {
      if (bare(*l).find_first_not_of(" \t") == std::string_view::npos) continue;
      if (first == 0) first = lines.line_number();
      last = lines.line_number();
    }
    if (first != 0) warn(first, fmt("lines %d to %d are not read: %s", first, last, why));
  }

 private:
  FilesCheck& out_;
  const char* file_;
};

// Line ends and lines longer than the reader's buffer, for any of the files.
void check_line_ends(FilesCheck& out, const char* file, std::string_view text, size_t buffer) {
  Pass pass(out, file);
  ConfLineReader lines(text, buffer);
  int lf_only = 0, first_lf = 0;
  size_t seen = 0;
  while (auto l = lines.next()) {
    seen += l->size();
    if (!l->empty() && l->back() == '\n' && (l->size() < 2 || (*l)[l->size() - 2] != '\r')) {
      if (lf_only++ == 0) first_lf = lines.line_number();
    } else if (!l->empty() && l->back() != '\n' && l->size() == buffer - 1 && seen < text.size()) {
      pass.warn(lines.line_number(), fmt("the line is longer than %zu characters: the rest is "
                                         "read as the next line",
                                         buffer - 2));
    }
  }
  if (lf_only > 0) {
    pass.warn(first_lf, fmt("%d line(s) end in LF alone, the first is line %d: lines must end "
                            "in CR LF, a text value keeps the LF",
                            lf_only, first_lf));
  }
}

void check_prog_lines(FilesCheck& out, std::string_view text) {
  Pass pass(out, configFile_prog);
  out.prog_lines.assign(kProgPositions, ProgLine{});
  ConfLineReader lines(text, kProgLineBuffer);
  int position = 0;
  std::vector<Mismatch> wrong;
  while (auto l = lines.next()) {
    const int n = lines.line_number();
    const bool value = contains(*l, "=");
    if (!value && !contains(*l, "[")) {
      pass.unread(lines, fmt("line %d holds neither \"=\" nor \"[\", which ends the file for "
                             "the daemon",
                             n)
                             .c_str());
      break;
    }
    if (position >= kProgPositions) {
      pass.warn(n, fmt("position %d is past the last one (%d): the line is not read", position,
                       kProgPositions - 1));
    } else {
      out.prog_lines[position] = {n, std::string(bare(*l))};
      const Field<Settings>* row = field_at(kProgFields, position);
      const char* field = row ? row->name : nullptr;
      if (value && field != nullptr) {
        std::string name = line_name(*l);
        if (name != field) {
          const Field<Settings>* previous = field_at(kProgFields, position - 1);
          const Field<Settings>* next = field_at(kProgFields, position + 1);
          wrong.push_back(
              {n, shift_of(name, previous ? previous->name : nullptr, next ? next->name : nullptr),
               fmt("position %d is %s, but the line is named %s", position, field, name.c_str())});
        }
        pass.value_blanks(n, *l);
      } else if (value) {
        auto v = conf_value(*l);
        if (!bare(*v).empty()) {
          pass.warn(n, fmt("position %d is unused: the value of %s is not read", position,
                           line_name(*l).c_str()));
        }
      } else if (field != nullptr) {
        pass.warn(n, fmt("position %d is %s, but the line is a section line (%s): %s keeps "
                         "its initial value",
                         position, field, std::string(bare(*l)).c_str(), field));
      }
    }
    ++position;
  }
  pass.mismatches(wrong);
  if (position < kProgPositions) {
    int first = position;
    while (first < kProgPositions && field_at(kProgFields, first) == nullptr) ++first;
    if (first < kProgPositions) {
      pass.warn(0, fmt("the file ends at position %d: %s and every later setting keep their "
                       "initial value (0 or empty)",
                       position, field_at(kProgFields, first)->name));
    }
  }
}

void check_device_lines(FilesCheck& out, std::string_view text) {
  Pass pass(out, configFile_mb);
  ConfLineReader lines(text, kMbLineBuffer);
  auto first = lines.next();
  if (!first) return;
  auto count_value = conf_value(*first);
  const int count = count_value ? read_int(*count_value) : 0;
  std::vector<Mismatch> wrong;
  for (int d = 0; d < count && d < kMaxDevices; ++d) {
    auto header = lines.next();
    if (!header) break;
    const int h = lines.line_number();
    out.headers.push_back({h, std::string(bare(*header))});
    if (contains(*header, "=")) {
      pass.warn(h, fmt("device %d's header line is a value line (%s): a missing header "
                       "shifts every later value by one line",
                       d + 1, std::string(bare(*header)).c_str()));
    }
    for (int stored = 0; stored < kDeviceValueLines;) {
      auto l = lines.next();
      if (!l) break;
      if (!contains(*l, "=")) continue;
      const char* field = kDeviceFields[stored++].name;
      std::string name = line_name(*l);
      if (name != field) {
        const char* previous = stored > 1 ? kDeviceFields[stored - 2].name : nullptr;
        const char* next = stored < kDeviceValueLines ? kDeviceFields[stored].name : nullptr;
        wrong.push_back({lines.line_number(), shift_of(name, previous, next),
                         fmt("device %d's value line %d is %s, but the line is named %s", d + 1,
                             stored, field, name.c_str())});
      }
      pass.value_blanks(lines.line_number(), *l);
    }
  }
  pass.mismatches(wrong);
  pass.unread(lines, fmt("the file declares %d device(s)", count).c_str());
}

// The mapping lines a hand-written mapping is read from; a generated one
// replaces everything after line 2.
void check_mapping_lines(FilesCheck& out, std::string_view text) {
  Pass pass(out, configFile_mb_mapping);
  ConfLineReader lines(text, kMappingLineBuffer);
  // The line's value as the reader takes it (0 without "=").
  auto named = [&](const char* expected) -> std::optional<int32_t> {
    auto l = lines.next();
    if (!l) return std::nullopt;
    if (contains(*l, "=") && line_name(*l) != expected) {
      pass.warn(lines.line_number(),
                fmt("the line is %s, but it is named %s", expected, line_name(*l).c_str()));
    }
    auto v = conf_value(*l);
    return v ? read_int(*v) : 0;
  };
  auto generated = named("default_mapping");
  auto count = named("sessionALL_mapping");
  if (!generated || *generated != 0 || !count) return;
  const int sessions = SessionCount::clamped(*count);
  for (int s = 0; s < sessions; ++s) {
    if (!named("sessionID_mapping")) return;
    for (IoType t : kIoTypes) {
      auto section = lines.next();
      if (!section) return;
      const std::string expected = fmt("[%s]", io_type_name(t));
      if (bare(*section) != expected) {
        pass.warn(lines.line_number(),
                  fmt("session %d's %s section line reads \"%s\": a "
                      "missing line shifts every later line",
                      s + 1, expected.c_str(), std::string(bare(*section)).c_str()));
      }
      auto map = lines.next();
      if (!map) return;
      std::string_view m = bare(*map);
      size_t bad = m.find_first_not_of("0123456789-,");
      if (bad != std::string_view::npos) {
        const char c = m[bad];
        pass.warn(lines.line_number(),
                  fmt("session %d's %s mapping line holds %s at column %zu: every character "
                      "that is not a digit moves the slot position, so the entries after it "
                      "shift",
                      s + 1, io_type_name(t), is_blank(c) ? "a blank" : fmt("\"%c\"", c).c_str(),
                      bad + 1));
      }
    }
  }
  pass.unread(lines, fmt("the file declares %d session(s)", sessions).c_str());
}

}  // namespace

std::string prog_value(const Settings& s, const Field<Settings>& field) {
  if (std::string_view(field.name) == "mqtt_password") {
    // An empty value is read as its line end alone: no password to hide.
    const std::string_view password(s.mqtt_password,
                                    strnlen(s.mqtt_password, sizeof s.mqtt_password));
    return password.empty() || password == "\n" ? "" : kHiddenSecret;
  }
  return field_text(field, s);
}

int32_t slot_address(const MbDevice& dev, int type, int channel, bool& aliased) {
  const auto t = static_cast<IoType>(type);
  aliased = false;
  // do_as_di / ao_as_ai: the device's own inputs first, then its outputs.
  for (const ReportedAs& also : kReportedAs) {
    if (also.to != t || !(dev.*also.flag)) continue;
    const int32_t own = io_count(dev, t) - io_count(dev, also.from);
    if (channel > own) {
      aliased = true;
      return io_start(dev, also.from) + channel - own - 1;
    }
  }
  return io_start(dev, t) + channel - 1;
}

const Refusal* FilesCheck::refusal() const {
  if (prog && !prog->ok()) return prog->refusal();
  if (options && !options->ok()) return options->refusal();
  if (devices && !devices->ok()) return devices->refusal();
  if (mapping && !mapping->ok()) return mapping->refusal();
  return nullptr;
}

// What the files leave open to others: a password readable beyond the
// daemon's user and group, a client ID every other gateway has too.
void check_exposure(FilesCheck& out) {
  if (!out.prog || !out.prog->ok()) return;
  const Settings& s = out.prog->value();
  const size_t password = strnlen(s.mqtt_password, sizeof s.mqtt_password);
  struct stat st {};
  if (password > 0 && !(password == 1 && s.mqtt_password[0] == '\n') &&
      ::stat(resolve_path(configFile_prog).c_str(), &st) == 0) {
    const group* owner = ::getgrgid(st.st_gid);
    const bool by_group = (st.st_mode & S_IRGRP) != 0 &&
                          (owner == nullptr || std::strcmp(owner->gr_name, "quorvane") != 0);
    if ((st.st_mode & S_IROTH) != 0 || by_group) {
      out.warnings.push_back(
          {configFile_prog, 0,
           fmt("holds an MQTT password and is readable by %s (mode %04o): chown "
               "quorvane:quorvane and chmod 0640",
               (st.st_mode & S_IROTH) != 0 ? "others" : "its group", st.st_mode & 07777)});
    }
  }
  if (s.transport == ReportTransport::kUdp) return;
  const bool has_options = out.options && out.options->ok();
  if (has_options && mqtt_client_id(out.options->value()) == "myclientid") {
    out.warnings.push_back(
        {configFile_options, 0,
         "MQTT is on with the shared default client ID myclientid: two gateways on one broker "
         "disconnect each other (set mqtt_client_id, one per gateway)"});
  }
  if (::access(resolve_path(configFile_options).c_str(), F_OK) != 0) {
    out.warnings.push_back({configFile_options, 0,
                            "(information) no options file while MQTT is on: every option "
                            "holds its default",
                            true});
  }
}

// One file's warnings in line order, those about the whole file last.
void sort_from(FilesCheck& out, size_t first) {
  auto key = [](const Warning& w) { return w.line == 0 ? INT_MAX : w.line; };
  std::stable_sort(out.warnings.begin() + static_cast<std::ptrdiff_t>(first), out.warnings.end(),
                   [&](const Warning& a, const Warning& b) { return key(a) < key(b); });
}

FilesCheck check_files() {
  FilesCheck out;
  out.prog = read_prog_conf(configFile_prog);
  out.options = read_options_conf(configFile_options);
  out.devices = read_mb_conf(configFile_mb);
  if (out.devices->ok()) {
    const DeviceList& devices = out.devices->value();
    // As start-up, but a regenerated mapping is read back from the text the
    // daemon would write, not from the file.
    auto read_back_text = [&](const Mapping& built) {
      return parse_mb_mapping_conf(format_mb_mapping_conf(built), MappingRead::kReadBack, devices,
                                   configFile_mb_mapping);
    };
    out.mapping =
        read_startup_mapping(configFile_mb_mapping, configFile_mb, devices, read_back_text);
  }

  if (auto text = read_conf_file(configFile_prog)) {
    check_line_ends(out, configFile_prog, *text, kProgLineBuffer);
    check_prog_lines(out, *text);
    sort_from(out, 0);
  } else {
    out.prog_lines.assign(kProgPositions, ProgLine{});
  }
  if (auto text = read_conf_file(configFile_mb)) {
    const size_t first = out.warnings.size();
    check_line_ends(out, configFile_mb, *text, kMbLineBuffer);
    check_device_lines(out, *text);
    sort_from(out, first);
  }
  if (auto text = read_conf_file(configFile_mb_mapping)) {
    const size_t first = out.warnings.size();
    check_line_ends(out, configFile_mb_mapping, *text, kMappingLineBuffer);
    check_mapping_lines(out, *text);
    sort_from(out, first);
  }
  if (out.mapping && out.mapping->ok() && out.mapping->value().session_count == 0) {
    out.warnings.push_back({configFile_mb_mapping, 0,
                            "no session: the daemon brings the modem up, then idles without "
                            "reporting"});
  }
  check_exposure(out);
  return out;
}
