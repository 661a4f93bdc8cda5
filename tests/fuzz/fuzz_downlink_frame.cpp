// The UDP answer-frame parser on arbitrary text, taken as the frame handler
// gets it (up to its first NUL): the accept test, the eight leading fields,
// the values after Number and the pending bit of the Type. Every field lies
// inside the frame and the value walk ends with the text, whatever Number
// claims. Then the frame goes through the UDP command handler as the
// dispatcher hands it over (a NUL-terminated copy in its 1025-byte buffer),
// against the sessions of fuzz_sessions.h.
#include <algorithm>
#include <array>
#include <cstring>

#include "fuzz_check.h"
#include "fuzz_sessions.h"
#include "messaging/downlink_parse.h"
#include "messaging/downlink_udp.h"

namespace {

bool inside(std::string_view piece, std::string_view text) {
  return piece.empty() ||
         (piece.data() >= text.data() && piece.data() + piece.size() <= text.data() + text.size());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  configure_fuzz_sessions();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view frame(reinterpret_cast<const char*>(data),
                         strnlen(reinterpret_cast<const char*>(data), size));
  std::array<char, 1025> payload{};
  std::memcpy(payload.data(), frame.data(), std::min(frame.size(), payload.size() - 1));
  process_message(payload.data(), kFuzzDevices);

  (void)downlink_accepted(frame);
  auto f = parse_downlink_frame(frame);
  if (!f) return 0;
  FUZZ_CHECK(inside(f->preamble, frame) && inside(f->device_type, frame) &&
             inside(f->type, frame) && inside(f->tail, frame));
  DownlinkValues v = read_downlink_values(f->tail, f->number);
  FUZZ_CHECK(v.held >= 0 && static_cast<size_t>(v.held) <= f->tail.size());
  FUZZ_CHECK(inside(v.end_char, f->tail) && inside(v.closing, f->tail));
  uint8_t bit = pending_bit_of(f->type);
  FUZZ_CHECK(bit == 0 || (bit & (bit - 1)) == 0);
  return 0;
}
