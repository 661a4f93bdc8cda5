// The UDP answer frame on arbitrary text (up to its first NUL): every field
// lies inside the frame and the value walk ends with the text, whatever Number
// claims; then the UDP command handler takes it as the dispatcher hands it over.
#include <algorithm>
#include <array>

#include "fuzz_check.h"
#include "messaging/downlink_parse.h"
#include "messaging/downlink_udp.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  configure_fuzz_sessions();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view frame = fuzz_c_text(data, size);
  std::array<char, 1025> payload{};
  std::memcpy(payload.data(), frame.data(), std::min(frame.size(), payload.size() - 1));
  process_message(fuzz_book, fuzz_image, fuzz_mapping, fuzz_devices, payload.data());
  (void)downlink_accepted(frame);
  auto f = parse_downlink_frame(frame);
  if (!f) return 0;
  FUZZ_CHECK(inside(f->preamble, frame) && inside(f->device_type, frame) &&
             inside(f->type, frame) && inside(f->tail, frame));
  DownlinkValues v = read_downlink_values(f->tail, f->number);
  FUZZ_CHECK(v.held >= 0 && static_cast<size_t>(v.held) <= f->tail.size());
  FUZZ_CHECK(inside(v.end_char, f->tail) && inside(v.closing, f->tail));
  uint8_t bit = pending_bit_of(f->type);
  FUZZ_CHECK((bit & (bit - 1)) == 0);
  return 0;
}
