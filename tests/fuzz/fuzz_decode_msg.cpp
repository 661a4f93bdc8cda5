// decode_msg on the hex text of a received datagram, as the receive
// dispatcher hands it over: byte i from hex characters 2i and 2i+1, at most
// 1024 bytes. With SMS4, a length that is not a whole number of blocks is
// refused and leaves the bytes untouched; an accepted one encodes back to the
// bytes received. The substitution table takes any length.
#include <algorithm>
#include <array>
#include <cstring>

#include "common/text.h"
#include "fuzz_check.h"
#include "messaging/codec.h"

namespace {

constexpr size_t kPayloadSize = 1024;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view hex = fuzz_text(data, size);
  const size_t n = std::min(hex.size() / 2, kPayloadSize);
  const auto length = static_cast<int32_t>(n);
  // Room for the SMS4 padding that encode_msg may add.
  std::array<uint8_t, kPayloadSize + 16> received{};
  hex_to_bytes(hex, n, received.data());

  std::array<uint8_t, kPayloadSize + 16> bytes = received;
  flag_sms4 = 1;
  int accepted = decode_msg(bytes.data(), length);
  FUZZ_CHECK(accepted == (n % 16 == 0 ? 1 : 0));
  if (accepted == 0) {
    FUZZ_CHECK(bytes == received);
  } else {
    int32_t back = length;
    encode_msg(bytes.data(), &back);
    FUZZ_CHECK(back == length);
    FUZZ_CHECK(std::memcmp(bytes.data(), received.data(), n) == 0);
  }

  bytes = received;
  flag_sms4 = 0;
  FUZZ_CHECK(decode_msg(bytes.data(), length) == 1);
  for (size_t i = 0; i < n; ++i) {
    if (received[i] >= 128) FUZZ_CHECK(bytes[i] == received[i]);
  }
  return 0;
}
