#include "config/prog_conf.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "config/conf_text.h"

namespace {

constexpr size_t kLineBuffer = kProgLineBuffer;

constexpr const char* kTooLong = " (%s) has %zu characters, at most %zu fit!!";
constexpr const char* kBreaksAtLine = " (%s) holds %s, which would break its AT command!!";

// A text the modem receives inside an AT command line.
struct AtText {
  const char* name;
  bool quoted;  // written between double quotes in its command
};

// What in `text` would end, split or extend the AT line it is written into: a
// double quote closes the quoted string early, ";" chains a second command,
// a control character (a CR, an LF) ends or breaks the line, and "," starts
// the next parameter where the text is not quoted. Described for the
// refusal, or empty when the text is safe.
std::string at_breaking_char(const char* text, bool quoted) {
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    char what[40] = "";
    if (c < 0x20 || c == 0x7F) {
      bformat(what, sizeof what, "the control character 0x%02X", c);
    } else if (c == '"' || c == ';' || (c == ',' && !quoted)) {
      bformat(what, sizeof what, "the character '%c'", c);
    }
    if (what[0] != '\0') return what;
  }
  return {};
}

}  // namespace

std::optional<Refusal> refuse_at_breaking_texts(const Settings& s, const char* file) {
  std::vector<AtText> sent = {{"apn", true}};
  if (s.transport == ReportTransport::kUdp) {
    sent.push_back({"server_host", true});
  } else {
    sent.push_back({"mqtt_host", true});
    // Credentials go out only with a user name longer than one character.
    if (std::strlen(s.mqtt_user) > 1) {
      sent.push_back({"mqtt_user", false});
      sent.push_back({"mqtt_password", false});
    }
    for (const char* topic : {"sub_topic1", "sub_topic2", "pub_topic_info", "pub_topic_di",
                              "pub_topic_ai", "pub_topic_gps", "pub_topic_ack"}) {
      sent.push_back({topic, true});
    }
  }
  for (const AtText& t : sent) {
    const Field<Settings>& field = *field_named(kProgFields, t.name);
    std::string what = at_breaking_char(field_text(field, s).c_str(), t.quoted);
    if (!what.empty()) return refusal_at(file, field.position, kBreaksAtLine, t.name, what.c_str());
  }
  return std::nullopt;
}

ConfResult<Settings> parse_prog_conf(std::string_view text, const char* file) {
  Settings info{};
  ConfLineReader reader(text, kLineBuffer);
  int count = 0;
  while (auto line = reader.next()) {
    auto value = conf_value(*line);
    if (!value) {
      if (contains(*line, "[")) {
        ++count;
        continue;
      }
      break;
    }
    const Field<Settings>* field = field_at(kProgFields, count);
    if (field != nullptr && !store_field(*field, info, *value)) {
      // Named by its position, counted from 0 as the fields are.
      return refusal_at(file, count, kTooLong, field->name, value->size(), field->capacity - 1);
    }
    ++count;
  }
  return info;
}

ConfResult<Settings> read_prog_conf(const char* path) {
  auto text = read_conf_file(path);
  if (!text) return open_refusal(path);
  auto read = parse_prog_conf(*text, path);
  if (read.ok()) {
    if (auto refusal = refuse_at_breaking_texts(read.value(), path)) {
      return {std::move(*refusal), read.console()};
    }
  }
  return read;
}
