#include "config/prog_conf.h"

#include <cstddef>
#include <cstdio>

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

}  // namespace

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
  return parse_prog_conf(*text, path);
}
