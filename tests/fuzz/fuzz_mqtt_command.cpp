// The MQTT command path on an arbitrary "+EMQPUB:" line, as the receive
// dispatcher and the command handler take it: the line split at its quotes,
// the payload's hex turned into text, the command read from the topic (plain)
// or from the JSON payload, and its value text decoded for the DO and AO
// slots. Byte 0 picks the payload kind (bit 0: JSON) and the session's slot
// count (bits 1-6, 0 to 63, so that counts past 32 are tried too); the rest is
// the line, taken up to its first NUL and at most 1023 bytes as the line
// buffer holds it. A command then goes through the MQTT command handler,
// against the sessions of fuzz_sessions.h.
#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "fuzz_check.h"
#include "fuzz_sessions.h"
#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_parse.h"
#include "modem/at_link.h"
#include "modem/urc.h"

namespace {

constexpr size_t kLineCapacity = 1023;
constexpr size_t kPayloadSize = 1024;

bool inside(std::string_view piece, std::string_view text) {
  return piece.data() >= text.data() && piece.data() + piece.size() <= text.data() + text.size();
}

void check_values(std::string_view value, int32_t slots) {
  size_t used = static_cast<size_t>(std::clamp(slots, 0, kMaxSlots));
  if (decode_do_text(value, slots)) FUZZ_CHECK(value.size() >= 2 * used);
  if (decode_ao_text(value, slots)) FUZZ_CHECK(value.size() >= 4 * used);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  configure_fuzz_sessions();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool json = (data[0] & 1) != 0;
  const int32_t slots = (data[0] >> 1) & 0x3f;
  const char* text = reinterpret_cast<const char*>(data + 1);
  std::string_view line(text, strnlen(text, std::min(size - 1, kLineCapacity)));

  auto pieces = split_emqpub(line);
  if (!pieces) return 0;
  FUZZ_CHECK(inside(pieces->topic, line) && inside(pieces->hex, line));

  std::array<char, kLineCapacity + 1> hex{};
  FUZZ_CHECK(copy_text(hex.data(), hex.size(), pieces->hex));
  auto count = static_cast<int32_t>(pieces->hex.size() / 2);
  std::array<uint8_t, kPayloadSize + 1> payload{};
  recon_message(count, hex.data(), payload.data());
  std::string_view payload_text = c_text(reinterpret_cast<const char*>(payload.data()),
                                         static_cast<size_t>(count));

  MqttCommandParse parsed =
      json ? mqtt_command_json(payload_text) : mqtt_command_plain(pieces->topic, payload_text);
  if (parsed.kind == MqttParseKind::kDropped) FUZZ_CHECK(parsed.reason != nullptr);
  if (parsed.kind != MqttParseKind::kCommand) return 0;
  const MqttDownlink& r = parsed.record;
  FUZZ_CHECK(strnlen(r.type, sizeof r.type) < sizeof r.type);
  FUZZ_CHECK(strnlen(r.data, sizeof r.data) == r.length);
  check_values(std::string_view(r.data, r.length), slots);
  process_message_MQTT(r, kFuzzDevices);
  return 0;
}
