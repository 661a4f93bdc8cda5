#include "messaging/uplink.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

std::string text_of(std::span<const char> buf) {
  return std::string(buf.data());
}

template <size_t N>
std::string built(std::array<char, N>& buf, BuildResult r) {
  EXPECT_TRUE(r.has_value());
  if (!r) return "<refused>";
  EXPECT_EQ(*r, std::string(buf.data()).size());
  return text_of(buf);
}

TEST(UplinkFrames, ExactTextsOfTheSixFrames) {
  std::array<char, kFrameBufferSize> f{};
  DevInfoValues dev;
  dev.value1 = -120;
  dev.value2[0] = '1';
  dev.value2[1] = '\0';
  dev.value3 = -6;
  EXPECT_EQ(built(f, build_devinfo_frame(f, 2, 17, dev)),
            "AE,QRX724H,0100,2,17,DEVINFO,0,4,-120,1,-6,0,EA");
  EXPECT_EQ(built(f, build_devinfo_frame(f, 0, 0, DevInfoValues{})),
            "AE,QRX724H,0100,0,0,DEVINFO,0,4,0,NULL,0,0,EA");
  EXPECT_EQ(built(f, build_rdo_frame(f, 0, 0, 4)), "AE,QRX724H,0100,0,0,RDO,0,4,EA");
  EXPECT_EQ(built(f, build_rao_frame(f, 3, 65535, 32)), "AE,QRX724H,0100,3,65535,RAO,0,32,EA");

  const uint8_t di[] = {1, 0, 1};
  EXPECT_EQ(built(f, build_wdi_frame(f, 1, 7, di)), "AE,QRX724H,0100,1,7,WDI,0,3,1,0,1,EA");
  const uint8_t odd_di[] = {255};  // a byte value is written unsigned
  EXPECT_EQ(built(f, build_wdi_frame(f, 1, 7, odd_di)), "AE,QRX724H,0100,1,7,WDI,0,1,255,EA");
  const uint16_t ai[] = {65535, 0, 1000};
  EXPECT_EQ(built(f, build_wai_frame(f, 4, 9, ai)), "AE,QRX724H,0100,4,9,WAI,0,3,65535,0,1000,EA");

  // No GPS sentence kept yet: two adjacent commas before EA.
  EXPECT_EQ(built(f, build_wgps_frame(f, 0, 1, "")), "AE,QRX724H,0100,0,1,WGPS,0,1,,EA");
  EXPECT_EQ(built(f, build_wgps_frame(f, 0, 1, "$GPRMC:1:A")),
            "AE,QRX724H,0100,0,1,WGPS,0,1,$GPRMC:1:A,EA");
}

TEST(UplinkFrames, TextThatDoesNotFitIsRefusedWithALineAndLeavesNothing) {
  const std::string frame = "AE,QRX724H,0100,0,0,RDO,0,4,EA";  // 30 characters
  std::array<char, 31> exact{};
  EXPECT_EQ(built(exact, build_rdo_frame(exact, 0, 0, 4)), frame);

  std::array<char, 30> small{};
  small.fill('x');
  testing::internal::CaptureStdout();
  EXPECT_FALSE(build_rdo_frame(small, 0, 0, 4));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[ERROR] RDO frame does not fit in 30 bytes, refused!!\n");
  EXPECT_EQ(small[0], '\0');

  // A refusal in the middle of a repeated-value frame refuses the whole text.
  std::vector<uint16_t> ai(32, 65535);
  std::array<char, 64> mid{};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(build_wai_frame(mid, 0, 0, ai));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("WAI frame"), std::string::npos);
  EXPECT_EQ(mid[0], '\0');

  std::array<char, 0> none{};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(build_text_payload(std::span<char>(none), ""));
  testing::internal::GetCapturedStdout();
}

TEST(UplinkCommands, EsosendStatesTheByteCountAndHexOfEveryByte) {
  std::array<char, kCommandBufferSize> cmd{};
  std::vector<uint8_t> bytes(16);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 17);
  EXPECT_EQ(built(cmd, build_esosend_line(cmd, 1, bytes)),
            "AT+ESOSEND=1,16,00112233445566778899AABBCCDDEEFF\r\n");

  // The longest line that fits the 1024-byte buffer, and one byte more.
  // "AT+ESOSEND=0,500," is 17 characters, the hex 1000, CR LF 2: 1019.
  std::vector<uint8_t> big(500, 0xA5);
  EXPECT_TRUE(build_esosend_line(cmd, 0, big));
  EXPECT_EQ(std::string(cmd.data()).size(), 1019u);
  std::vector<uint8_t> too_big(503, 0xA5);  // 17 + 1006 + 2 = 1025
  testing::internal::CaptureStdout();
  EXPECT_FALSE(build_esosend_line(cmd, 0, too_big));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[ERROR] AT+ESOSEND line does not fit in 1024 bytes, refused!!\n");
  std::vector<uint8_t> edge(502, 0xA5);  // 17 + 1004 + 2 = 1023 + NUL
  EXPECT_TRUE(build_esosend_line(cmd, 0, edge));
}

TEST(UplinkCommands, EmqpubCountsPayloadBytesNotHexDigits) {
  std::array<char, kCommandBufferSize> cmd{};
  EXPECT_EQ(built(cmd, build_emqpub_line(cmd, 0, "gw/ack", "DO_ACK")),
            "AT+EMQPUB=0,\"gw/ack\",1,0,0,6,444F5F41434B\r\n");
  EXPECT_EQ(built(cmd, build_emqpub_line(cmd, 3, "t", "")), "AT+EMQPUB=3,\"t\",1,0,0,0,\r\n");
}

TEST(UplinkPayloads, PlainPayloads) {
  std::array<char, kFrameBufferSize> p{};
  DevInfoValues dev;
  dev.value1 = -95;
  dev.value3 = 12;
  EXPECT_EQ(built(p, build_devinfo_payload(p, dev)), "-95,NULL,12,0");
  const uint8_t di[] = {1, 0, 1, 255};
  EXPECT_EQ(built(p, build_di_payload(p, di)), "010001FF");
  const uint16_t ai[] = {65535, 0, 1000};
  EXPECT_EQ(built(p, build_ai_payload(p, ai)), "FFFF000003E8");
  EXPECT_EQ(built(p, build_text_payload(p, "$GPRMC:1:A")), "$GPRMC:1:A");
}

class JsonTime : public testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz != nullptr ? std::optional<std::string>(tz) : std::nullopt;
    setenv("TZ", "UTC-2", 1);  // two hours east of UTC
    tzset();
  }
  void TearDown() override {
    if (saved_) {
      setenv("TZ", saved_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::optional<std::string> saved_;
};

TEST_F(JsonTime, PayloadsAreWrappedInTheTemplatesWithLocalTimeAndNoEscaping) {
  std::array<char, kTimeTextSize> when{};
  // 1700000000 is 2023-11-14 22:13:20 UTC; local time is not converted back.
  EXPECT_EQ(built(when, format_json_time(when, 1700000000)), "2023-11-15T00:13:20Z");

  std::array<char, kFrameBufferSize> j{};
  JsonIds ids{"sen\"1", "dev-1", when.data()};
  EXPECT_EQ(built(j, wrap_json(j, ids, "DO_ACK")),
            "[\n{\n\"id\":\"sen\"1\",\n\"deviceId\":\"dev-1\",\n\"time\":\"2023-11-15T00:13:20Z\","
            "\n\"value\":[\n\"DO_ACK\"\n]\n}\n]");
  ids.sensor_id = "s";
  EXPECT_EQ(built(j, wrap_json_di(j, ids, 1, "010001")),
            "[\n{\n\"id\":\"s\",\n\"deviceId\":\"dev-1\",\n\"time\":\"2023-11-15T00:13:20Z\","
            "\n\"value\":[\n\"1/DI/010001\"\n]\n}\n]");
  EXPECT_EQ(built(j, wrap_json_ai(j, ids, 12, "FFFF")),
            "[\n{\n\"id\":\"s\",\n\"deviceId\":\"dev-1\",\n\"time\":\"2023-11-15T00:13:20Z\","
            "\n\"value\":[\n\"12/AI/FFFF\"\n]\n}\n]");
}

TEST_F(JsonTime, LongestPublicationOfValidRecordsFitsTheCommandBuffer) {
  // 32 AI values, JSON, a 127-character topic and 15-character ids.
  std::array<char, kTimeTextSize> when{};
  ASSERT_TRUE(format_json_time(when, 1700000000));
  std::vector<uint16_t> ai(32, 0xFFFF);
  std::array<char, kFrameBufferSize> hex{};
  ASSERT_TRUE(build_ai_payload(hex, ai));
  std::string id(15, 'i');
  std::array<char, kFrameBufferSize> j{};
  ASSERT_TRUE(wrap_json_ai(j, JsonIds{id.c_str(), id.c_str(), when.data()}, 99, hex.data()));
  std::string topic(127, 't');
  std::array<char, kCommandBufferSize> cmd{};
  auto n = build_emqpub_line(cmd, 0, topic.c_str(), j.data());
  ASSERT_TRUE(n);
  EXPECT_LT(*n, 700u);
}

TEST(ModemAnswers, EngineeringReportGivesFieldsFiveElevenAndEight) {
  const char* full =
      "AT*MENGINFO=0\r\r\n*MENGINFOSC: 3686,0,45,-891,-120,-145,-98,-6,5,1A2B,1,23,0\r\n"
      "*MENGINFODC: 1,2\r\n\r\nOK\r\n";
  DevInfoValues v = parse_menginfo(full);
  EXPECT_EQ(v.value1, -120);
  EXPECT_STREQ(v.value2, "1");
  EXPECT_EQ(v.value3, -6);

  // The 11th field two characters long.
  v = parse_menginfo("*MENGINFOSC: 1,2,3,4,5,6,7,8,9,10,12,x\r\n\r\nOK\r\n");
  EXPECT_EQ(v.value1, 5);
  EXPECT_STREQ(v.value2, "NULL");
  EXPECT_EQ(v.value3, 8);

  // Fewer than 11 fields; fewer than 8; fewer than 5.
  v = parse_menginfo("*MENGINFOSC: 1,2,3,4,5,6,7,8\r\n\r\nOK\r\n");
  EXPECT_EQ(v.value1, 5);
  EXPECT_STREQ(v.value2, "NULL");
  EXPECT_EQ(v.value3, 8);
  v = parse_menginfo("*MENGINFOSC: 1,2,3,4,5\r\nOK");
  EXPECT_EQ(v.value1, 5);
  EXPECT_EQ(v.value3, 0);
  v = parse_menginfo("*MENGINFOSC: 1,2");
  EXPECT_EQ(v.value1, 0);

  // No report at all, or nothing after the name.
  for (const char* none : {"AT*MENGINFO=0\r\r\n\r\nERROR\r\n", "MENGINFOSC", ""}) {
    v = parse_menginfo(none);
    EXPECT_EQ(v.value1, 0);
    EXPECT_STREQ(v.value2, "NULL");
    EXPECT_EQ(v.value3, 0);
  }
}

}  // namespace
