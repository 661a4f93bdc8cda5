// encode_msg / decode_msg: the scrambling of whole gateway frames.
#include "messaging/codec.h"

#include <cstdio>

#include "codec_params.h"
#include "common/console.h"
#include "messaging/sms4.h"

const uint8_t UserA_Secret[32] = QUORVANE_CODEC_KEY_INIT;
const uint32_t client_table[8][16] = QUORVANE_CODEC_TABLE_INIT;

namespace {

constexpr const char* kLogPadded = "[%.*s]\n";
constexpr const char* kMsgBadLength = "Receive error message length!!";

constexpr int kBlock = 16;
// The codec encrypts each block twice (and decrypts twice) under the same key.
constexpr int kPasses = 2;

// The table covers 0 to 127; higher bytes, which only a damaged or foreign
// message carries, pass unchanged.
void substitute(uint8_t* buffer, int32_t length) {
  for (int32_t i = 0; i < length; ++i) {
    uint8_t b = buffer[i];
    if (b < 128) buffer[i] = static_cast<uint8_t>(client_table[b >> 4][b & 0x0f]);
  }
}

}  // namespace

void encode_msg(uint8_t* buffer, int32_t* length, Scrambling scrambling) {
  const int32_t n = *length;
  if (n < 0) return;
  if (scrambling == Scrambling::kTable) {
    substitute(buffer, n);
    return;
  }
  const int32_t padded = n + (kBlock - n % kBlock) % kBlock;
  for (int32_t i = n; i < padded; ++i) buffer[i] = ' ';
  console().print(kLogPadded, static_cast<int>(padded), reinterpret_cast<const char*>(buffer));
  *length = padded;
  sms4_encrypt_blocks(buffer, padded / kBlock, UserA_Secret, kPasses);
}

int decode_msg(uint8_t* buffer, int32_t length, Scrambling scrambling) {
  if (scrambling == Scrambling::kTable) {
    substitute(buffer, length);
    return 1;
  }
  if (length < 0 || length % kBlock != 0) {
    console().line(kMsgBadLength);
    return 0;
  }
  sms4_decrypt_blocks(buffer, length / kBlock, UserA_Secret, kPasses);
  return 1;
}
