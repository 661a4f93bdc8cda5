// encode_msg / decode_msg: the scrambling of whole gateway frames.
#include "messaging/codec.h"

#include <cstdio>

#include "codec_params.h"
#include "common/console.h"
#include "messaging/sms4.h"

const uint8_t UserA_Secret[32] = QUORVANE_CODEC_KEY_INIT;

namespace {

constexpr const char* kLogPadded = "[%.*s]\n";
constexpr const char* kMsgBadLength = "Receive error message length!!";

constexpr int kBlock = 16;
// The codec encrypts each block twice (and decrypts twice) under the same key.
constexpr int kPasses = 2;

}  // namespace

void encode_msg(uint8_t* buffer, int32_t* length) {
  const int32_t n = *length;
  if (n < 0) return;
  const int32_t padded = n + (kBlock - n % kBlock) % kBlock;
  for (int32_t i = n; i < padded; ++i) buffer[i] = ' ';
  console().print(kLogPadded, static_cast<int>(padded), reinterpret_cast<const char*>(buffer));
  *length = padded;
  sms4_encrypt_blocks(buffer, padded / kBlock, UserA_Secret, kPasses);
}

int decode_msg(uint8_t* buffer, int32_t length) {
  if (length < 0 || length % kBlock != 0) {
    console().line(kMsgBadLength);
    return 0;
  }
  sms4_decrypt_blocks(buffer, length / kBlock, UserA_Secret, kPasses);
  return 1;
}
