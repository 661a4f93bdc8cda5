// The MQTT command path on an arbitrary "+EMQPUB:" line (up to its first NUL,
// at most 1023 bytes as the line buffer holds it): split at its quotes, the
// payload's hex turned into text, the command read from the topic (plain) or
// the JSON payload, its value text decoded for the DO and AO slots, and the
// command handler run. Byte 0: bit 0 JSON, bits 1-6 the slot count (0 to 63,
// so that counts past 32 are tried too).
#include <algorithm>
#include <array>

#include "common/text.h"
#include "fuzz_check.h"
#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_parse.h"
#include "messaging/downlink_reports.h"
#include "messaging/urc.h"
#include "modem/at_link.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  configure_fuzz_sessions();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool json = (data[0] & 1) != 0;
  const SlotCount slots = SlotCount::clamped((data[0] >> 1) & 0x3f);
  std::string_view line = fuzz_c_text(data + 1, std::min(size - 1, size_t{1023}));
  auto pieces = split_emqpub(line);
  if (!pieces) return 0;
  FUZZ_CHECK(inside(pieces->topic, line) && inside(pieces->hex, line));
  std::array<char, 1024> hex{};
  FUZZ_CHECK(copy_text(hex.data(), hex.size(), pieces->hex));
  auto count = static_cast<int32_t>(pieces->hex.size() / 2);
  std::array<uint8_t, 1025> payload{};
  recon_message(count, hex.data(), payload.data());
  std::string_view text =
      c_text(reinterpret_cast<const char*>(payload.data()), static_cast<size_t>(count));
  MqttCommandParse parsed =
      json ? mqtt_command_json(text) : mqtt_command_plain(pieces->topic, text);
  FUZZ_CHECK(parsed.kind != MqttParseKind::kDropped || parsed.reason != nullptr);
  if (parsed.kind != MqttParseKind::kCommand) return 0;
  const MqttDownlink& r = parsed.record;
  FUZZ_CHECK(strnlen(r.type, sizeof r.type) < sizeof r.type &&
             strnlen(r.data, sizeof r.data) == r.length);
  std::string_view value(r.data, r.length);
  const size_t used = slots.size();
  if (decode_do_text(value, slots)) FUZZ_CHECK(value.size() >= 2 * used);
  if (decode_ao_text(value, slots)) FUZZ_CHECK(value.size() >= 4 * used);
  process_message_MQTT(fuzz_book, fuzz_image, fuzz_mapping, fuzz_devices, r);
  return 0;
}
