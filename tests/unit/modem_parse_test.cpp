// The modem link's pure pieces on recorded answers and reports: answer parses,
// report parses and the kept-bytes queue (line assembly is held against a
// model by the line fuzz target, a NUL in AT text by the pairing table).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/urc.h"
#include "modem/answers.h"
#include "modem/rx_queue.h"

namespace {

// The values bring-up takes from well-formed answers are pinned by the
// bring-up tests; here the edges those do not reach.
TEST(Answers, EdgesOfTheValueParses) {
  EXPECT_EQ(parse_cereg("\r\nERROR\r\n"), 0);  // no "," at all: not registered
  EXPECT_EQ(parse_csq("\r\nOK\r\n"), 0);
  EXPECT_EQ(parse_csq("+CSQ:"), 0);
  EXPECT_EQ(parse_edns("AT+EDNS=\"broker\"\r\r\n+EDNS:10.1.2.3\r\n\r\nOK\r\n"), "10.1.2.3");
  EXPECT_EQ(parse_edns("\r\n+EDNS: 10.1.2.3\r\n\r\nOK\r\n"), " 10.1.2.3");
  EXPECT_FALSE(parse_edns("\r\n+EDNS:\r\n\r\nOK\r\n"));  // nothing resolved
  // From the "+ESOC=" line, never from the echo.
  EXPECT_EQ(parse_esoc("AT+ESOC=1,2,1\r\r\n+ESOC=2\r\n\r\nOK\r\n"), 2);
}

// A good report is taken apart in every report-loop cycle, a short one is
// dropped with its reason in the AT link tests; here the other refusals.
TEST(Urc, EsonmiSeparatorsAndEveryReasonToDrop) {
  // Runs of separators count as one; extra hex digits are allowed.
  auto ok = parse_esonmi("+ESONMI=1,,1,FFEE\r\n", 1024);
  ASSERT_TRUE(ok.report);
  EXPECT_EQ(ok.report->count, 1);
  EXPECT_EQ(ok.report->hex, "FFEE");
  const std::string bad[] = {"+ESONMI=0,16\r\n", "+ESONMI=0\r\n", "+ESONMI=0,-1,AA\r\n",
                             "+ESONMI=0,1025," + std::string(2050, 'A')};
  for (const auto& b : bad) EXPECT_FALSE(parse_esonmi(b, 1024).report) << b;
}

// Commands end to end are pinned by the downlink tests; here the edges.
TEST(Urc, PublicationPiecesAndCommandEdges) {
  auto pieces = split_emqpub("\r\n+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,6,\"313030\"\r\n");
  ASSERT_TRUE(pieces);
  EXPECT_EQ(pieces->topic, "/gw/cmd/2/DO");
  EXPECT_EQ(pieces->hex, "313030");
  EXPECT_FALSE(split_emqpub("+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,6,\r\n"));

  // A leading slash makes no empty piece; a type has at most 11 characters.
  EXPECT_EQ(mqtt_command_plain("/a/b/2/DO", "1,0").record.session_id, 2);
  EXPECT_EQ(mqtt_command_plain("a/b/2", "1").kind, MqttParseKind::kDropped);
  EXPECT_EQ(mqtt_command_plain("a/b/2/ABCDEFGHIJK", "1").kind, MqttParseKind::kCommand);
  EXPECT_EQ(mqtt_command_plain("a/b/2/ABCDEFGHIJKL", "1").kind, MqttParseKind::kDropped);

  const std::string body = "{\"id\":\"7\",\"deviceId\":\"g\",\"time\":\"t\",\"value\":[\"";
  EXPECT_STREQ(mqtt_command_json(body + "3/AO/100,200\"]}").record.data, "100,200");
  EXPECT_EQ(mqtt_command_json("[" + body.substr(1) + "3/DO/1\"]}").kind, MqttParseKind::kNotDoAo);
  EXPECT_EQ(mqtt_command_json(body + "3/XO/1\"]}").kind, MqttParseKind::kNotDoAo);
  // Fewer than 16 pieces, fewer than three value pieces.
  EXPECT_EQ(mqtt_command_json("{\"value\":[\"3/DO/1\"]}").kind, MqttParseKind::kDropped);
  EXPECT_EQ(mqtt_command_json(body + "3/DO/\"]}").kind, MqttParseKind::kDropped);
}

TEST(RxQueue, KeepsOrderDropsTheOldestWhenFullAndFindsALineEndAcrossTheWrap) {
  RxQueue q;
  std::vector<uint8_t> bytes(RxQueue::kCapacity - 10);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i % 200 + 11);  // no LF
  EXPECT_EQ(q.push(bytes.data(), bytes.size()), 0u);
  uint8_t b = 0;
  ASSERT_TRUE(q.pop(b));
  EXPECT_EQ(b, 11);
  // Wraps around the ring; 15 more than the space left drops the 15 oldest.
  uint8_t more[26] = {};
  more[25] = '\n';  // past the ring's end, where line_waiting must find it
  EXPECT_FALSE(q.holds('\n'));
  EXPECT_EQ(q.push(more, sizeof more), 15u);
  EXPECT_TRUE(q.holds('\n'));
  EXPECT_EQ(q.size(), RxQueue::kCapacity);
  ASSERT_TRUE(q.pop(b));
  EXPECT_EQ(b, 27);
  // Of more than the capacity only the last bytes stay.
  std::vector<uint8_t> huge(RxQueue::kCapacity + 5, 0xAB);
  EXPECT_EQ(q.push(huge.data(), huge.size()), RxQueue::kCapacity - 1 + 5);
  EXPECT_EQ(q.size(), RxQueue::kCapacity);
}

}  // namespace
