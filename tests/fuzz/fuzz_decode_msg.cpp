// decode_msg on the bytes of a received datagram's hex text (at most 1024).
// A length that is not whole blocks is refused and changes nothing; an
// accepted one encodes back to the bytes received.
#include <algorithm>
#include <array>

#include "common/text.h"
#include "fuzz_check.h"
#include "messaging/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const size_t n = std::min(size / 2, size_t{1024});
  const auto length = static_cast<int32_t>(n);
  std::array<uint8_t, 1024 + 16> received{};  // room for the padding encode_msg adds
  hex_to_bytes(fuzz_text(data, size), n, received.data());
  auto bytes = received;
  int accepted = decode_msg(bytes.data(), length);
  FUZZ_CHECK(accepted == (n % 16 == 0 ? 1 : 0));
  if (accepted == 0) FUZZ_CHECK(bytes == received);
  if (accepted == 1) {
    int32_t back = length;
    encode_msg(bytes.data(), &back);
    FUZZ_CHECK(back == length && std::memcmp(bytes.data(), received.data(), n) == 0);
  }
  return 0;
}
