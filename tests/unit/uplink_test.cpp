#include "messaging/uplink.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace {

using Builder = std::function<BuildResult(std::span<char>)>;

// Built into a buffer of the given size: the text, or "<refused: console line>"
// after checking the refusal left an empty text.
std::string built(const Builder& build, size_t size = kFrameBufferSize) {
  std::vector<char> buf(size + 1, 'x');
  std::span<char> out(buf.data(), size);
  support::ScopedConsoleCapture capture;
  BuildResult r = build(out);
  std::string console = capture.take();
  if (!r) {
    EXPECT_TRUE(size == 0 || buf[0] == '\0');
    return "<refused: " + console + ">";
  }
  EXPECT_EQ(console, "");
  EXPECT_EQ(*r, std::string(buf.data()).size());
  return buf.data();
}

TEST(Uplink, FramesPayloadsAndCommandLines) {
  const DevInfoValues dev{-120, "1", -6};
  const uint8_t di[] = {1, 0, 1, 255};  // a byte value is written unsigned
  const uint16_t ai[] = {65535, 0, 1000};
  std::vector<uint8_t> bytes(16), edge(502, 0xA5), too_big(503, 0xA5);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 17);
  const std::vector<uint16_t> ai32(32, 65535);
  auto frame = [](const std::string& rest) { return "AE,QRX724H,0100," + rest; };
  // The report-loop tests pin a DEVINFO with values and the session routing.
  // clang-format off
  const std::pair<Builder, std::string> cases[] = {
      {[&](auto o) { return build_devinfo_frame(o, 0, 0, {}); },
       frame("0,0,DEVINFO,0,4,0,NULL,0,0,EA")},
      {[&](auto o) { return build_rao_frame(o, 3, 65535, 32); }, frame("3,65535,RAO,0,32,EA")},
      {[&](auto o) { return build_wdi_frame(o, 1, 7, di); }, frame("1,7,WDI,0,4,1,0,1,255,EA")},
      {[&](auto o) { return build_wai_frame(o, 4, 9, ai); }, frame("4,9,WAI,0,3,65535,0,1000,EA")},
      // No GPS sentence kept yet: two adjacent commas before EA.
      {[&](auto o) { return build_wgps_frame(o, 0, 1, ""); }, frame("0,1,WGPS,0,1,,EA")},
      {[&](auto o) { return build_wgps_frame(o, 0, 1, "$GPRMC:1:A"); },
       frame("0,1,WGPS,0,1,$GPRMC:1:A,EA")},
      {[&](auto o) { return build_devinfo_payload(o, dev); }, "-120,1,-6,0"},
      {[&](auto o) { return build_di_payload(o, di); }, "010001FF"},
      {[&](auto o) { return build_ai_payload(o, ai); }, "FFFF000003E8"},
      {[&](auto o) { return build_esosend_line(o, 1, bytes); },
       "AT+ESOSEND=1,16,00112233445566778899AABBCCDDEEFF\r\n"},
      // The byte count, not the hex digits.
      {[&](auto o) { return build_emqpub_line(o, 0, "gw/ack", "DO_ACK"); },
       "AT+EMQPUB=0,\"gw/ack\",1,0,0,6,444F5F41434B\r\n"},
      {[&](auto o) { return build_emqpub_line(o, 3, "t", ""); }, "AT+EMQPUB=3,\"t\",1,0,0,0,\r\n"},
  };
  // clang-format on
  for (const auto& [build, text] : cases) EXPECT_EQ(built(build), text);

  // Size limits: what does not fit is refused with a line and leaves nothing.
  const std::string rdo = "AE,QRX724H,0100,0,0,RDO,0,4,EA";  // 30 characters
  auto rdo4 = [](auto o) { return build_rdo_frame(o, 0, 0, 4); };
  EXPECT_EQ(built(rdo4, 31), rdo);
  EXPECT_EQ(built(rdo4, 30), "<refused: [ERROR] RDO frame does not fit in 30 bytes, refused!!\n>");
  // A refusal in the middle of a repeated-value frame refuses the whole text.
  EXPECT_EQ(built([&](auto o) { return build_wai_frame(o, 0, 0, ai32); }, 64).substr(0, 25),
            "<refused: [ERROR] WAI fra");
  EXPECT_EQ(built([](auto o) { return build_text_payload(o, ""); }, 0).substr(0, 9), "<refused:");
  // "AT+ESOSEND=0,n," is 17 characters, then 2n hex digits, CR LF and the NUL.
  auto esosend = [](const std::vector<uint8_t>& b) {
    return [&b](auto o) { return build_esosend_line(o, 0, b); };
  };
  EXPECT_EQ(built(esosend(edge), kCommandBufferSize).size(), 1023u);
  EXPECT_EQ(built(esosend(too_big), kCommandBufferSize),
            "<refused: [ERROR] AT+ESOSEND line does not fit in 1024 bytes, refused!!\n>");
}

TEST(Uplink, JsonPayloadsWithLocalTimeAndEscapedTexts) {
  support::TzGuard east("UTC-2");  // two hours east of UTC
  std::array<char, kTimeTextSize> when{};
  // 1700000000 is 2023-11-14 22:13:20 UTC; local time is not converted back.
  ASSERT_TRUE(format_json_time(when, 1700000000));
  EXPECT_STREQ(when.data(), "2023-11-15T00:13:20Z");
  const std::string head =
      "[\n{\n\"id\":\"s\\\"1\",\n\"deviceId\":\"dev-1\",\n\"time\":\"2023-11-15T00:13:20Z\","
      "\n\"value\":[\n\"";
  JsonIds ids{"s\"1", "dev-1", when.data()};
  EXPECT_EQ(built([&](auto o) { return wrap_json(o, ids, "DO_ACK"); }), head + "DO_ACK\"\n]\n}\n]");
  // A GPS line with a quote, a backslash, a control character and a byte
  // that is not UTF-8 stays one JSON string.
  EXPECT_EQ(built([&](auto o) {
              return wrap_json(o, ids,
                               "$GP\"R\\M\x01"
                               "C:\xe9");
            }),
            head + "$GP\\\"R\\\\M\\u0001C:\\ufffd\"\n]\n}\n]");
  EXPECT_EQ(built([&](auto o) { return wrap_json_di(o, ids, 1, "010001"); }),
            head + "1/DI/010001\"\n]\n}\n]");
  EXPECT_EQ(built([&](auto o) { return wrap_json_ai(o, ids, 12, "FFFF"); }),
            head + "12/AI/FFFF\"\n]\n}\n]");

  // The longest publication of valid records (32 AI values, a 127-character
  // topic, 15-character ids) fits the command buffer.
  std::array<char, kFrameBufferSize> hex{}, json{};
  ASSERT_TRUE(build_ai_payload(hex, std::vector<uint16_t>(32, 0xFFFF)));
  const std::string id(15, 'i'), topic(127, 't');
  ASSERT_TRUE(wrap_json_ai(json, JsonIds{id.c_str(), id.c_str(), when.data()}, 99, hex.data()));
  std::array<char, kCommandBufferSize> cmd{};
  EXPECT_TRUE(build_emqpub_line(cmd, 0, topic.c_str(), json.data()));
}

TEST(Uplink, ASessionsInputsBecomeTheTransportsMessage) {
  support::TzGuard utc("UTC0");
  Settings settings{};
  copy_text(settings.pub_topic_di, sizeof settings.pub_topic_di, "t/di");
  copy_text(settings.pub_topic_ai, sizeof settings.pub_topic_ai, "t/ai");
  const std::vector<uint8_t> di = {1, 0, 1};
  const std::vector<uint16_t> ai = {500, 65535};
  const std::string json =
      "[\n{\n\"id\":\"\",\n\"deviceId\":\"\",\n\"time\":\"2023-11-14T22:13:20Z\",\n"
      "\"value\":[\n\"7/AI/01F4FFFF\"\n]\n}\n]";
  struct Row {
    bool mqtt, cht, is_di;
    const char *name, *topic;
    std::string text;
  } rows[] = {
      {false, true, true, "WDI", "", "AE,QRX724H,0100,7,9,WDI,0,3,1,0,1,EA"},
      {false, false, false, "WAI", "", "AE,QRX724H,0100,7,9,WAI,0,2,500,65535,EA"},
      {true, false, true, "DI", "t/di", "010001"},
      {true, false, false, "AI", "t/ai", "01F4FFFF"},
      {true, true, false, "AI", "t/ai", json},
  };
  for (const Row& r : rows) {
    settings.transport = r.mqtt ? ReportTransport::kMqtt : ReportTransport::kUdp;
    settings.mqtt_cht = r.cht;
    std::vector<char> out(kFrameBufferSize), scratch(kFrameBufferSize);
    const InputValues values = r.is_di ? InputValues(std::span(di)) : InputValues(std::span(ai));
    const InputMessage m = build_input_message(out, scratch, settings, 7, 9, values, 1700000000);
    EXPECT_EQ(std::tuple(std::string(m.name), std::string(m.topic ? m.topic : ""),
                         std::string(out.data(), m.length.value_or(0))),
              std::tuple(std::string(r.name), std::string(r.topic), r.text));
  }
}

TEST(Uplink, EngineeringReportGivesFieldsFiveElevenAndEight) {
  struct Case {
    const char* answer;
    int value1;
    const char* value2;
    int value3;
  };
  // A whole answer, echo and "*MENGINFODC:" line included, is the report-loop tests'.
  // clang-format off
  const Case cases[] = {
      {"*MENGINFOSC: 1,2,3,4,5,6,7,8,9,10,12,x\r\n\r\nOK\r\n", 5, "NULL", 8},  // field 11 too long
      {"*MENGINFOSC: 1,2,3,4,5,6,7,8\r\n\r\nOK\r\n", 5, "NULL", 8},
      {"*MENGINFOSC: 1,2,3,4,5\r\nOK", 5, "NULL", 0},
      {"*MENGINFOSC: 1,2", 0, "NULL", 0},
      {"AT*MENGINFO=0\r\r\n\r\nERROR\r\n", 0, "NULL", 0},
      {"MENGINFOSC", 0, "NULL", 0},
  };
  // clang-format on
  for (const Case& c : cases) {
    DevInfoValues v = parse_menginfo(c.answer);
    EXPECT_EQ(v.value1, c.value1) << c.answer;
    EXPECT_STREQ(v.value2, c.value2) << c.answer;
    EXPECT_EQ(v.value3, c.value3) << c.answer;
  }
}

}  // namespace
