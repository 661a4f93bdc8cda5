#include "messaging/codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "codec_params.h"
#include "messaging/sms4.h"

namespace {

using Block = std::array<uint8_t, 16>;

Block from_hex(const char* hex) {
  Block b{};
  for (size_t i = 0; i < b.size(); ++i) {
    unsigned v = 0;
    std::sscanf(hex + 2 * i, "%2x", &v);
    b[i] = static_cast<uint8_t>(v);
  }
  return b;
}

// The byte order of this cipher: every 4-byte group reversed.
Block swap_groups(Block b) {
  for (size_t i = 0; i < b.size(); i += 4) {
    std::swap(b[i], b[i + 3]);
    std::swap(b[i + 1], b[i + 2]);
  }
  return b;
}

// The SM4 standard's example: key = plaintext.
const Block kStdKey = from_hex("0123456789abcdeffedcba9876543210");
const Block kStdCipher = from_hex("681edf34d206965e86b3e94f536e4246");
const Block kStdCipherMillion = from_hex("595298c7c6fd271f0402f804c33d3f66");

bool built_with_sanitizer() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#endif
#endif
  return false;
}

TEST(Sms4, ConstantsAndTableDrivenTransformsMatchTheirDefinitions) {
  std::set<uint8_t> values(std::begin(sms4_sbox), std::end(sms4_sbox));
  EXPECT_EQ(values.size(), 256u);
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t ck = 0;
    for (uint32_t j = 0; j < 4; ++j) ck = (ck << 8) | (((4 * i + j) * 7) & 0xff);
    EXPECT_EQ(sms4_ck[i], ck) << i;
  }
  EXPECT_EQ(rotate_left(0x80000001u, 1), 0x00000003u);
  EXPECT_EQ(rotate_left(0x12345678u, 0), 0x12345678u);
  EXPECT_EQ(s_substitute(0x00010203u), 0xd690e9feu);
  // Every byte value in every position, and mixed words.
  std::vector<uint32_t> words;
  for (uint32_t b = 0; b < 256; ++b) {
    for (int shift : {0, 8, 16, 24}) words.push_back(b << shift);
    words.push_back(b * 0x01010101u ^ 0x5a3c9600u);
  }
  for (uint32_t x : words) {
    ASSERT_EQ(T_trans(x), L_trans(s_substitute(x))) << std::hex << x;
    ASSERT_EQ(key_T_trans(x), key_L_trans(s_substitute(x))) << std::hex << x;
  }
  Sms4State s = {1, 2, 3, 4};
  sms4_round_func(s, 0x55);
  EXPECT_EQ(s, (Sms4State{2, 3, 4, 1 ^ T_trans(2 ^ 3 ^ 4 ^ 0x55)}));
  sms4_reverse(s);
  EXPECT_EQ(s[3], 2u);
  EXPECT_EQ(s[0], 1 ^ T_trans(2 ^ 3 ^ 4 ^ 0x55));
}

TEST(Sms4, OneApplicationIsStandardSm4WithFourByteGroupsReversed) {
  const Block key = swap_groups(kStdKey);
  Sms4RoundKeys rk{};
  sms4_key_schedule(key.data(), rk);
  EXPECT_EQ(rk[0], 0xf12186f9u);  // the standard's first and last round keys
  EXPECT_EQ(rk[31], 0x9124a012u);

  Block block = swap_groups(kStdKey);
  sms4_encrypt(block.data(), key.data(), 1);
  EXPECT_EQ(swap_groups(block), kStdCipher);
  sms4_decrypt(block.data(), key.data(), 1);
  EXPECT_EQ(block, swap_groups(kStdKey));

  // The codec's block: two applications in a row, undone by two decryptions.
  Block once = swap_groups(kStdKey);
  sms4_encrypt(once.data(), key.data(), 1);
  sms4_encrypt(once.data(), key.data(), 1);
  Block twice = swap_groups(kStdKey);
  sms4_encrypt(twice.data(), key.data(), 2);
  EXPECT_EQ(twice, once);
  sms4_decrypt(twice.data(), key.data(), 2);
  EXPECT_EQ(twice, swap_groups(kStdKey));

  // Alternating keys must not reuse another key's round keys.
  Block other_key = key;
  other_key[0] ^= 1;
  Block a = swap_groups(kStdKey), b = a;
  sms4_encrypt(a.data(), other_key.data(), 1);
  sms4_encrypt(b.data(), key.data(), 1);
  EXPECT_NE(a, b);
  EXPECT_EQ(swap_groups(b), kStdCipher);
  sms4_decrypt(a.data(), other_key.data(), 1);
  EXPECT_EQ(a, swap_groups(kStdKey));
}

TEST(Sms4, MillionEncryptionsVector) {
  if (built_with_sanitizer()) GTEST_SKIP() << "runs in the optimised build only";
  const Block key = swap_groups(kStdKey);
  Block block = key;
  sms4_encrypt(block.data(), key.data(), 1000000);
  EXPECT_EQ(swap_groups(block), kStdCipherMillion);
}

class Codec : public ::testing::Test {
 protected:
  void TearDown() override { flag_sms4 = 1; }
};

TEST_F(Codec, EncodePadsWithSpacesToWholeBlocksAndDecodeUndoesIt) {
  struct Case {
    std::string text;
    int32_t padded;
  };
  for (const Case& c : std::vector<Case>{{"AE,0001,DEVINFO,", 16},
                                         {"AE,0001,DEVINFO,1", 32},
                                         {std::string(100, 'x') + "EA", 112},
                                         {"", 0}}) {
    SCOPED_TRACE(c.text);
    std::vector<uint8_t> buf(c.text.size() + 15, 0xEE);
    std::memcpy(buf.data(), c.text.data(), c.text.size());
    int32_t length = static_cast<int32_t>(c.text.size());
    testing::internal::CaptureStdout();
    encode_msg(buf.data(), &length);
    const std::string plain = c.text + std::string(c.padded - c.text.size(), ' ');
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[" + plain + "]\n");
    ASSERT_EQ(length, c.padded);
    for (size_t i = c.padded; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);  // no overrun

    // Each block is the double application under UserA_Secret.
    for (int32_t off = 0; off < length; off += 16) {
      Block expect{};
      std::memcpy(expect.data(), plain.data() + off, 16);
      sms4_encrypt(expect.data(), UserA_Secret, 2);
      EXPECT_EQ(std::memcmp(buf.data() + off, expect.data(), 16), 0) << off;
    }
    EXPECT_EQ(decode_msg(buf.data(), length), 1);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + length), plain);
  }
}

TEST_F(Codec, DecodeRefusesALengthThatIsNotWholeBlocks) {
  std::vector<uint8_t> buf(20);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<uint8_t>(i * 13);
  const std::vector<uint8_t> before = buf;
  testing::internal::CaptureStdout();
  EXPECT_EQ(decode_msg(buf.data(), 20), 0);
  EXPECT_EQ(decode_msg(buf.data(), -16), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Receive error message length!!\nReceive error message length!!\n");
  EXPECT_EQ(buf, before);
}

TEST_F(Codec, SubstitutionAppliesTheForwardTableOnBothSides) {
  flag_sms4 = 0;
  std::vector<uint8_t> buf;
  for (int b = 0; b < 256; ++b) buf.push_back(static_cast<uint8_t>(b));
  auto forward = [](uint8_t b) -> uint8_t {
    return b < 128 ? static_cast<uint8_t>(client_table[b / 16][b % 16]) : b;
  };
  int32_t length = 256;
  testing::internal::CaptureStdout();
  encode_msg(buf.data(), &length);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");  // no log line, no padding
  EXPECT_EQ(length, 256);
  for (int b = 0; b < 256; ++b) ASSERT_EQ(buf[b], forward(static_cast<uint8_t>(b))) << b;
  for (int b = 128; b < 256; ++b) ASSERT_EQ(buf[b], b);

  EXPECT_EQ(decode_msg(buf.data(), 256), 1);
  int restored = 0;
  for (int b = 0; b < 256; ++b) {
    ASSERT_EQ(buf[b], forward(forward(static_cast<uint8_t>(b))));
    restored += buf[b] == b;
  }
  EXPECT_LT(restored, 256);  // the forward table twice is not the identity
}

TEST(CodecParams, DefaultKeyAndTableAreTheDocumentedOnes) {
  if (!QUORVANE_CODEC_DEFAULT_PARAMS) GTEST_SKIP() << "built with another key or table";
  const uint8_t key[16] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                           0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};
  EXPECT_EQ(std::memcmp(UserA_Secret, key, 16), 0);
  for (int i = 16; i < 32; ++i) EXPECT_EQ(UserA_Secret[i], 0);
  for (uint32_t b = 0; b < 128; ++b) {
    uint32_t expect = (b >= 0x20 && b <= 0x7E) ? 0x20 + ((b - 0x20) * 7 + 3) % 95 : b;
    EXPECT_EQ(client_table[b / 16][b % 16], expect) << b;
  }
}

}  // namespace
