// SMS4 (SM4, GB/T 32907-2016) with words read least significant byte first.
#include "messaging/sms4.h"

#include <cstddef>
#include <utility>

constexpr uint8_t sms4_sbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48};

// Byte j (most significant first) of CK_i is (4i + j) * 7 mod 256.
constexpr uint32_t sms4_ck[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279};

namespace sms4_detail {

template <uint32_t (*Linear)(uint32_t)>
constexpr TTables make_tables() {
  TTables t{};
  for (int pos = 0; pos < 4; ++pos) {
    for (int b = 0; b < 256; ++b) t[pos][b] = Linear(uint32_t{sms4_sbox[b]} << (24 - 8 * pos));
  }
  return t;
}

constexpr uint32_t rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}
constexpr uint32_t l_linear(uint32_t x) {
  return x ^ rotl(x, 2) ^ rotl(x, 10) ^ rotl(x, 18) ^ rotl(x, 24);
}
constexpr uint32_t key_l_linear(uint32_t x) {
  return x ^ rotl(x, 13) ^ rotl(x, 23);
}

constinit const TTables t_tables = make_tables<l_linear>();
constinit const TTables key_t_tables = make_tables<key_l_linear>();

}  // namespace sms4_detail

namespace {

// The round keys of the last key used on this thread, in encryption order and
// reversed for decryption. The codec always uses the same key, so the
// expansion is done once rather than for every block; the result is the same
// as expanding afresh each time.
struct RoundKeys {
  Sms4RoundKeys encrypt;
  Sms4RoundKeys decrypt;
};

const RoundKeys& round_keys(const uint8_t* key) {
  struct Cache {
    bool valid = false;
    std::array<uint8_t, 16> key{};
    RoundKeys rk{};
  };
  thread_local Cache cache;
  bool same = cache.valid;
  for (int i = 0; same && i < 16; ++i) same = cache.key[i] == key[i];
  if (!same) {
    for (int i = 0; i < 16; ++i) cache.key[i] = key[i];
    sms4_key_schedule(key, cache.rk.encrypt);
    for (int i = 0; i < 32; ++i) cache.rk.decrypt[i] = cache.rk.encrypt[31 - i];
    cache.valid = true;
  }
  return cache.rk;
}

// count applications on each of Lanes consecutive blocks. The 32 rounds run
// four at a time with the words renamed instead of shifted, which keeps the
// state in registers; the blocks are independent, so running several side by
// side hides the latency of each round's table look-ups. Between
// applications the words stay as they are (writing back and reading again in
// the same byte order changes nothing).
template <size_t Lanes>
void sms4_apply(uint8_t* blocks, const Sms4RoundKeys& rk, int count) {
  using Words = std::array<uint32_t, Lanes>;
  Words x0, x1, x2, x3;
  for (size_t l = 0; l < Lanes; ++l) {
    const uint8_t* p = blocks + 16 * l;
    x0[l] = sms4_load(p);
    x1[l] = sms4_load(p + 4);
    x2[l] = sms4_load(p + 8);
    x3[l] = sms4_load(p + 12);
  }
  for (int n = 0; n < count; ++n) {
    for (int i = 0; i < 32; i += 4) {
      for (size_t l = 0; l < Lanes; ++l) x0[l] = sms4_round_word(x0[l], x1[l], x2[l], x3[l], rk[i]);
      for (size_t l = 0; l < Lanes; ++l)
        x1[l] = sms4_round_word(x1[l], x2[l], x3[l], x0[l], rk[i + 1]);
      for (size_t l = 0; l < Lanes; ++l)
        x2[l] = sms4_round_word(x2[l], x3[l], x0[l], x1[l], rk[i + 2]);
      for (size_t l = 0; l < Lanes; ++l)
        x3[l] = sms4_round_word(x3[l], x0[l], x1[l], x2[l], rk[i + 3]);
    }
    // R: the state (X32, X33, X34, X35) is read back as (X35, X34, X33, X32).
    std::swap(x0, x3);
    std::swap(x1, x2);
  }
  for (size_t l = 0; l < Lanes; ++l) {
    uint8_t* p = blocks + 16 * l;
    sms4_store(p, x0[l]);
    sms4_store(p + 4, x1[l]);
    sms4_store(p + 8, x2[l]);
    sms4_store(p + 12, x3[l]);
  }
}

void sms4_apply_blocks(uint8_t* data, int blocks, const Sms4RoundKeys& rk, int count) {
  // Four blocks keep 16 words in flight: enough to cover the look-up latency,
  // few enough to stay in registers.
  constexpr size_t kLanes = 4;
  const size_t total = blocks > 0 ? static_cast<size_t>(blocks) : 0;
  size_t b = 0;
  for (; b + kLanes <= total; b += kLanes) sms4_apply<kLanes>(data + 16 * b, rk, count);
  for (; b < total; ++b) sms4_apply<1>(data + 16 * b, rk, count);
}

}  // namespace

void sms4_encrypt(uint8_t* block, const uint8_t* key, int count) {
  sms4_apply<1>(block, round_keys(key).encrypt, count);
}

void sms4_decrypt(uint8_t* block, const uint8_t* key, int count) {
  sms4_apply<1>(block, round_keys(key).decrypt, count);
}

void sms4_encrypt_blocks(uint8_t* data, int blocks, const uint8_t* key, int count) {
  sms4_apply_blocks(data, blocks, round_keys(key).encrypt, count);
}

void sms4_decrypt_blocks(uint8_t* data, int blocks, const uint8_t* key, int count) {
  sms4_apply_blocks(data, blocks, round_keys(key).decrypt, count);
}
