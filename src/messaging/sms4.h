// The operations of the SMS4 block cipher, one function each, on 32-bit words.
// Defined inline so that the block operation compiles to straight-line code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "messaging/codec.h"

using Sms4State = std::array<uint32_t, 4>;
using Sms4RoundKeys = std::array<uint32_t, 32>;

inline constexpr std::array<uint32_t, 4> kSms4Fk = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

namespace sms4_detail {
// L and L' are linear, so T(x) is the XOR of L(S(b) placed at its byte) over
// the four bytes b of x: four 256-entry tables each, one per byte position.
using TTables = std::array<std::array<uint32_t, 256>, 4>;
extern const TTables t_tables;
extern const TTables key_t_tables;

inline uint32_t table_trans(const TTables& t, uint32_t x) {
  return (t[0][x >> 24] ^ t[1][(x >> 16) & 0xff]) ^ (t[2][(x >> 8) & 0xff] ^ t[3][x & 0xff]);
}
}  // namespace sms4_detail

// T = L(tau(x)).
inline uint32_t T_trans(uint32_t x) {
  return sms4_detail::table_trans(sms4_detail::t_tables, x);
}

// T' = L'(tau(x)).
inline uint32_t key_T_trans(uint32_t x) {
  return sms4_detail::table_trans(sms4_detail::key_t_tables, x);
}

// The word one round adds: X0 ^ T(X1 ^ X2 ^ X3 ^ rk).
inline uint32_t sms4_round_word(uint32_t x0, uint32_t x1, uint32_t x2, uint32_t x3, uint32_t rk) {
  return x0 ^ T_trans(x1 ^ x2 ^ x3 ^ rk);
}

// F: (X0, X1, X2, X3) -> (X1, X2, X3, X0 ^ T(X1 ^ X2 ^ X3 ^ rk)).
inline void sms4_round_func(Sms4State& state, uint32_t rk) {
  state = {state[1], state[2], state[3],
           sms4_round_word(state[0], state[1], state[2], state[3], rk)};
}

// R: (X0, X1, X2, X3) -> (X3, X2, X1, X0).
inline void sms4_reverse(Sms4State& state) {
  state = {state[3], state[2], state[1], state[0]};
}

// A word of four bytes, least significant first.
inline uint32_t sms4_load(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void sms4_store(uint8_t* p, uint32_t w) {
  p[0] = static_cast<uint8_t>(w);
  p[1] = static_cast<uint8_t>(w >> 8);
  p[2] = static_cast<uint8_t>(w >> 16);
  p[3] = static_cast<uint8_t>(w >> 24);
}

// Key expansion of the first 16 key bytes into the 32 round keys.
inline void sms4_key_schedule(const uint8_t* key, Sms4RoundKeys& rk) {
  Sms4State k;
  for (size_t i = 0; i < 4; ++i) k[i] = sms4_load(key + 4 * i) ^ kSms4Fk[i];
  for (int i = 0; i < 32; ++i) {
    rk[i] = k[0] ^ key_T_trans(k[1] ^ k[2] ^ k[3] ^ sms4_ck[i]);
    k = {k[1], k[2], k[3], rk[i]};
  }
}

// sms4_encrypt / sms4_decrypt on each of blocks consecutive 16-byte blocks
// (no chaining), several blocks at a time.
void sms4_encrypt_blocks(uint8_t* data, int blocks, const uint8_t* key, int count);
void sms4_decrypt_blocks(uint8_t* data, int blocks, const uint8_t* key, int count);
