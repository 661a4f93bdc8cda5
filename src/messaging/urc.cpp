#include "messaging/urc.h"

#include "common/text.h"
#include "config/configuration.h"

EsonmiParse parse_esonmi(std::string_view text, size_t payload_capacity) {
  TokenView fields(text);
  fields.next(",");  // "+ESONMI=" and the socket number
  auto count_text = fields.next(",");
  auto data = fields.next(",");
  if (!count_text || !data) return {std::nullopt, "fewer than three fields"};
  int32_t count = read_int(*count_text);
  if (count < 0 || static_cast<size_t>(count) > payload_capacity) {
    return {std::nullopt, "byte count out of range"};
  }
  std::string_view hex = cut_at(*data, "\r");
  if (hex.size() < 2 * static_cast<size_t>(count)) {
    return {std::nullopt, "fewer hex digits than the byte count"};
  }
  return {EsonmiReport{count, hex}, nullptr};
}

std::optional<EmqpubPieces> split_emqpub(std::string_view line) {
  TokenView pieces(line);
  pieces.next("\"");
  auto topic = pieces.next("\"");
  pieces.next("\"");
  auto hex = pieces.next("\"");
  if (!topic || !hex) return std::nullopt;
  return EmqpubPieces{*topic, *hex};
}

namespace {

MqttCommandParse dropped(const char* reason) {
  MqttCommandParse p;
  p.kind = MqttParseKind::kDropped;
  p.reason = reason;
  return p;
}

// Fills type and data; false when either does not fit its field.
bool fill_record(MqttDownlink& r, std::string_view type, std::string_view data) {
  if (!copy_text(r.type, sizeof r.type, type)) return false;
  if (!copy_text(r.data, sizeof r.data, data)) return false;
  r.length = static_cast<uint32_t>(data.size());
  return true;
}

}  // namespace

MqttCommandParse mqtt_command_plain(std::string_view topic, std::string_view payload) {
  auto session = nth_field(topic, "/", 3);
  auto type = nth_field(topic, "/", 4);
  if (!session || !type) return dropped("fewer than four topic pieces");
  MqttCommandParse p;
  p.record.session_id = read_int(*session);
  if (!fill_record(p.record, *type, payload)) return dropped("type or value too long");
  p.kind = MqttParseKind::kCommand;
  return p;
}

MqttCommandParse mqtt_command_json(std::string_view payload) {
  if (payload.empty() || payload.front() != '{' ||
      !(contains(payload, "/DO/") || contains(payload, "/AO/"))) {
    MqttCommandParse p;
    p.kind = MqttParseKind::kNotDoAo;
    return p;
  }
  auto value = nth_field(payload, "\"", 16);
  if (!value) return dropped("fewer than 16 JSON pieces");
  TokenView pieces(*value);
  auto session = pieces.next("/");
  auto type = pieces.next("/");
  auto data = pieces.next("/");
  if (!session || !type || !data) return dropped("fewer than three value pieces");
  MqttCommandParse p;
  p.record.session_id = read_int(*session);
  if (!fill_record(p.record, *type, *data)) return dropped("type or value too long");
  p.kind = MqttParseKind::kCommand;
  return p;
}
