// The gateway frame codec: frames are scrambled with the SMS4 (SM4) block
// cipher under a fixed key before they go out as hex text. The key is shared
// with the server and fixed at build time (see codec_params.h).
#pragma once

#include <cstdint>

// The first 16 bytes are the SMS4 key; the rest is unused.
extern const uint8_t UserA_Secret[32];
// SM4 S-box and key-schedule constants CK (GB/T 32907-2016).
extern const uint8_t sms4_sbox[256];
extern const uint32_t sms4_ck[32];

// Scrambles the first *length bytes in place. With SMS4 they are first padded
// with spaces to a multiple of 16, so the buffer must have room for 15 more
// bytes, and the new count is written back; the padded text is logged as
// "[%s]".
void encode_msg(uint8_t* buffer, int32_t* length);

// Unscrambles length bytes in place. Returns 1, or 0 (buffer untouched, a
// console line) when length is not a multiple of 16.
int decode_msg(uint8_t* buffer, int32_t length);

// count successive SMS4 applications to one 16-byte block, in place, with the
// first 16 bytes of key. Words are read and written least significant byte
// first: one application is standard SM4 with every 4-byte group of key,
// input and output byte-reversed.
void sms4_encrypt(uint8_t* block, const uint8_t* key, int count);
void sms4_decrypt(uint8_t* block, const uint8_t* key, int count);
