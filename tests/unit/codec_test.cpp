#include "messaging/codec.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "messaging/sms4.h"
#include "test_support.h"

namespace {

using Block = std::array<uint8_t, 16>;

// The SM4 standard's example (key = plaintext) in this cipher's byte order:
// every 4-byte group reversed.
Block swapped(const char* hex) {
  Block b{};
  for (size_t i = 0; i < b.size(); ++i) {
    unsigned v = 0;
    std::sscanf(hex + 2 * (i ^ 3), "%2x", &v);
    b[i] = static_cast<uint8_t>(v);
  }
  return b;
}
const Block kKey = swapped("0123456789abcdeffedcba9876543210");
const Block kCipher = swapped("681edf34d206965e86b3e94f536e4246");

TEST(Sms4, StandardVectorTheDoubleApplicationAndAlternatingKeys) {
  Block block = kKey;
  sms4_encrypt(block.data(), kKey.data(), 1);
  EXPECT_EQ(block, kCipher);
  sms4_decrypt(block.data(), kKey.data(), 1);
  EXPECT_EQ(block, kKey);

  // The codec's block: two applications in a row, undone by two decryptions.
  Block twice = kKey;
  sms4_encrypt(twice.data(), kKey.data(), 2);
  Block again = kCipher;
  sms4_encrypt(again.data(), kKey.data(), 1);
  EXPECT_EQ(twice, again);
  sms4_decrypt(twice.data(), kKey.data(), 2);
  EXPECT_EQ(twice, kKey);

  // Another key in between must not reuse the first key's round keys.
  Block other_key = kKey, a = kKey, b = kKey;
  other_key[0] ^= 1;
  sms4_encrypt(a.data(), other_key.data(), 1);
  sms4_encrypt(b.data(), kKey.data(), 1);
  EXPECT_NE(a, b);
  EXPECT_EQ(b, kCipher);
}

class Codec : public ::testing::Test {
 protected:
  support::ScopedConsoleCapture console;
};

TEST_F(Codec, EncodePadsWithSpacesToWholeBlocksAndDecodeUndoesIt) {
  for (const std::string text : {"AE,0001,DEVINFO,", "AE,0001,DEVINFO,1", ""}) {
    SCOPED_TRACE(text);
    const size_t padded = (text.size() + 15) / 16 * 16;
    std::vector<uint8_t> buf(text.size() + 15, 0xEE);
    std::memcpy(buf.data(), text.data(), text.size());
    int32_t length = static_cast<int32_t>(text.size());
    encode_msg(buf.data(), &length);
    const std::string plain = text + std::string(padded - text.size(), ' ');
    EXPECT_EQ(console.take(), "[" + plain + "]\n");
    ASSERT_EQ(length, static_cast<int32_t>(padded));
    for (size_t i = padded; i < buf.size(); ++i) EXPECT_EQ(buf[i], 0xEE);  // no overrun
    // Each block is the double application under the built-in key.
    for (int32_t off = 0; off < length; off += 16) {
      Block expect{};
      std::memcpy(expect.data(), plain.data() + off, 16);
      sms4_encrypt(expect.data(), UserA_Secret, 2);
      EXPECT_EQ(std::memcmp(buf.data() + off, expect.data(), 16), 0) << off;
    }
    EXPECT_EQ(decode_msg(buf.data(), length), 1);
    EXPECT_EQ(std::string(buf.begin(), buf.begin() + length), plain);
  }

  // A length that is not whole blocks is refused and changes nothing.
  std::vector<uint8_t> odd(20, 7);
  EXPECT_EQ(decode_msg(odd.data(), 20), 0);
  EXPECT_EQ(decode_msg(odd.data(), -16), 0);
  EXPECT_EQ(console.take(), "Receive error message length!!\nReceive error message length!!\n");
  EXPECT_EQ(odd, std::vector<uint8_t>(20, 7));
}

}  // namespace
