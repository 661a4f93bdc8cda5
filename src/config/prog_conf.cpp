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

struct TextField {
  char* dst;
  size_t cap;
  const char* name;
};

constexpr const char* kTooLong = " (%s) has %zu characters, at most %zu fit!!";
constexpr const char* kBreaksAtLine = " (%s) holds %s, which would break its AT command!!";

// A text the modem receives inside an AT command line.
struct AtText {
  const char* value;
  int position;
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
  std::vector<AtText> sent = {{s.apn, 2, "apn", true}};
  if (s.mqtt_enable == 0) {
    sent.push_back({s.server_host, 5, "server_host", true});
  } else {
    sent.push_back({s.mqtt_host, 8, "mqtt_host", true});
    // Credentials go out only with a user name longer than one character.
    if (std::strlen(s.mqtt_user) > 1) {
      sent.push_back({s.mqtt_user, 13, "mqtt_user", false});
      sent.push_back({s.mqtt_password, 14, "mqtt_password", false});
    }
    const char* topics[] = {s.sub_topic1,   s.sub_topic2,    s.pub_topic_info, s.pub_topic_di,
                            s.pub_topic_ai, s.pub_topic_gps, s.pub_topic_ack};
    const char* names[] = {"sub_topic1",   "sub_topic2",    "pub_topic_info", "pub_topic_di",
                           "pub_topic_ai", "pub_topic_gps", "pub_topic_ack"};
    for (int i = 0; i < 7; ++i) sent.push_back({topics[i], 15 + i, names[i], true});
  }
  for (const AtText& t : sent) {
    std::string what = at_breaking_char(t.value, t.quoted);
    if (!what.empty()) return refusal_at(file, t.position, kBreaksAtLine, t.name, what.c_str());
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
    int32_t* int_field = nullptr;
    TextField text_field{nullptr, 0, nullptr};
    // clang-format off
    switch (count) {
      case 0: int_field = &info.send_interval; break;
      case 1: int_field = &info.auto_connect; break;
      case 2: text_field = {info.apn, sizeof info.apn, "apn"}; break;
      case 4: int_field = &info.server_port; break;
      case 5: text_field = {info.server_host, sizeof info.server_host, "server_host"}; break;
      case 7: int_field = &info.mqtt_enable; break;
      case 8: text_field = {info.mqtt_host, sizeof info.mqtt_host, "mqtt_host"}; break;
      case 9: int_field = &info.mqtt_port; break;
      case 10: int_field = &info.mqtt_bufsize; break;
      case 11: int_field = &info.mqtt_keepalive; break;
      case 12: int_field = &info.mqtt_version; break;
      case 13: text_field = {info.mqtt_user, sizeof info.mqtt_user, "mqtt_user"}; break;
      case 14:
        text_field = {info.mqtt_password, sizeof info.mqtt_password, "mqtt_password"};
        break;
      case 15: text_field = {info.sub_topic1, sizeof info.sub_topic1, "sub_topic1"}; break;
      case 16: text_field = {info.sub_topic2, sizeof info.sub_topic2, "sub_topic2"}; break;
      case 17:
        text_field = {info.pub_topic_info, sizeof info.pub_topic_info, "pub_topic_info"};
        break;
      case 18: text_field = {info.pub_topic_di, sizeof info.pub_topic_di, "pub_topic_di"}; break;
      case 19: text_field = {info.pub_topic_ai, sizeof info.pub_topic_ai, "pub_topic_ai"}; break;
      case 20:
        text_field = {info.pub_topic_gps, sizeof info.pub_topic_gps, "pub_topic_gps"};
        break;
      case 21:
        text_field = {info.pub_topic_ack, sizeof info.pub_topic_ack, "pub_topic_ack"};
        break;
      case 23: int_field = &info.mqtt_cht; break;
      case 24: text_field = {info.device_id, sizeof info.device_id, "device_id"}; break;
      case 25: text_field = {info.sensor_id, sizeof info.sensor_id, "sensor_id"}; break;
      default: break;  // 3, 6, 22 and past 25: counted only
    }
    // clang-format on
    if (int_field != nullptr) *int_field = read_int(*value);
    if (text_field.dst != nullptr && !copy_text(text_field.dst, text_field.cap, *value)) {
      // Named by its position, counted from 0 as the fields are.
      return refusal_at(file, count, kTooLong, text_field.name, value->size(), text_field.cap - 1);
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
