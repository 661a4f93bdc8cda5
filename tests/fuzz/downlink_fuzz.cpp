// The downlink parsers on arbitrary text: an answer frame's fields and values,
// and MQTT DO/AO value texts. Nothing may be read outside the text.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "messaging/downlink_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (downlink_accepted(text)) {
    if (auto f = parse_downlink_frame(text)) {
      DownlinkValues v = read_downlink_values(f->tail, f->number);
      if (v.held < 0 || v.end_char.size() > size || v.closing.size() > size) __builtin_trap();
      (void)pending_bit_of(f->type);
    }
  }
  int32_t slots = size > 0 ? static_cast<int32_t>(data[0] % 40) - 4 : 0;
  (void)decode_do_text(text, slots);
  (void)decode_ao_text(text, slots);
  return 0;
}
