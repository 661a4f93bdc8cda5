// The gateway frame codec: frames are scrambled with the SMS4 (SM4) block
// cipher under a fixed key, or with a byte-substitution table, before they go
// out as hex text. Key and table are shared with the server and fixed at build
// time (see codec_params.h).
#pragma once

#include <cstdint>

// How frames are scrambled. Every product path uses kSms4; the substitution
// table is the server's other scheme, kept for peers that use it.
enum class Scrambling : uint8_t { kSms4, kTable };
// The first 16 bytes are the SMS4 key; the rest is unused.
extern const uint8_t UserA_Secret[32];
// Substitution of byte b (0-127) in the low 8 bits of [b / 16][b % 16].
extern const uint32_t client_table[8][16];
// SM4 S-box and key-schedule constants CK (GB/T 32907-2016).
extern const uint8_t sms4_sbox[256];
extern const uint32_t sms4_ck[32];

// Scrambles the first *length bytes in place. With SMS4 they are first padded
// with spaces to a multiple of 16, so the buffer must have room for 15 more
// bytes, and the new count is written back; the padded text is logged as
// "[%s]". Bytes 128 to 255 pass the substitution unchanged.
void encode_msg(uint8_t* buffer, int32_t* length, Scrambling scrambling = Scrambling::kSms4);

// Unscrambles length bytes in place. Returns 1, or 0 (buffer untouched, a
// console line) when SMS4 is selected and length is not a multiple of 16. The
// substitution applies the same forward table as encode_msg.
int decode_msg(uint8_t* buffer, int32_t length, Scrambling scrambling = Scrambling::kSms4);

// count successive SMS4 applications to one 16-byte block, in place, with the
// first 16 bytes of key. Words are read and written least significant byte
// first: one application is standard SM4 with every 4-byte group of key,
// input and output byte-reversed.
void sms4_encrypt(uint8_t* block, const uint8_t* key, int count);
void sms4_decrypt(uint8_t* block, const uint8_t* key, int count);
