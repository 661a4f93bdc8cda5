// The modem's line assembly and the parses of its answers and reports on
// arbitrary bytes: lines never outgrow their buffer, and every piece a parse
// answers lies inside the text it was given.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "modem/answers.h"
#include "modem/line_assembler.h"
#include "modem/urc.h"

namespace {

bool inside(std::string_view piece, std::string_view text) {
  return piece.empty() ||
         (piece.data() >= text.data() && piece.data() + piece.size() <= text.data() + text.size());
}

void check_record(const MqttDownlink& r) {
  if (std::strlen(r.type) > 11 || std::strlen(r.data) != r.length) __builtin_trap();
}

void parse_line(std::string_view text) {
  if (size_t at = text.find("+ESONMI="); at != std::string_view::npos) {
    EsonmiParse p = parse_esonmi(text.substr(at), 1024);
    if (p.report) {
      if (p.report->count < 0 || p.report->count > 1024 ||
          p.report->hex.size() < 2 * static_cast<size_t>(p.report->count) ||
          !inside(p.report->hex, text)) {
        __builtin_trap();
      }
    } else if (p.reason == nullptr) {
      __builtin_trap();
    }
  }
  if (auto pieces = split_emqpub(text)) {
    if (!inside(pieces->topic, text) || !inside(pieces->hex, text)) __builtin_trap();
    MqttCommandParse plain = mqtt_command_plain(pieces->topic, pieces->hex);
    if (plain.kind == MqttParseKind::kCommand) check_record(plain.record);
  }
  MqttCommandParse json = mqtt_command_json(text);
  if (json.kind == MqttParseKind::kCommand) check_record(json.record);
  (void)parse_cereg(text);
  (void)parse_csq(text);
  if (auto a = parse_edns(text); a && !inside(*a, text)) __builtin_trap();
  (void)parse_emqnew(text);
  (void)parse_esoc(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the mode; the rest is what the port delivers.
  bool line_mode = size > 0 && (data[0] & 1) != 0;
  LineAssembler line(line_mode);
  for (size_t i = 1; i < size; ++i) {
    LineAssembler::Event ev = line.feed(data[i]);
    if (line.size() > LineAssembler::kCapacity || line.c_str()[line.size()] != '\0') {
      __builtin_trap();
    }
    if (ev == LineAssembler::Event::kLine) {
      if (line.bytes().back() != '\n') __builtin_trap();
      parse_line(line.text());
      // Lines of two bytes or fewer stay, as the receive routine keeps them.
      if (line.size() > 2) line.clear();
    }
  }
  // The whole input as one text, up to its first NUL as the receive routine
  // sees a line.
  const char* text = reinterpret_cast<const char*>(data);
  parse_line(std::string_view(text, strnlen(text, size)));
  return 0;
}
