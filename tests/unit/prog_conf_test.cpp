#include <gtest/gtest.h>

#include <string>

#include "config/prog_conf.h"
#include "config/records.h"

namespace {

// A complete file as an integrator writes it (CR LF line ends).
std::string full_file() {
  return "[SYSTEM]\r\n"  // a section line counts as a line: this is line 0
         "send_interval=10\r\n"
         "auto_connect=1\r\n"
         "apn=cmnet\r\n"
         "[UDP]\r\n"
         "server_port=5683\r\n"
         "server_host=report.example.net\r\n"
         "[MQTT]\r\n"
         "mqtt_enable=1\r\n"
         "mqtt_host=broker.example.net\r\n"
         "mqtt_port=1883\r\n"
         "mqtt_bufsize=1024\r\n"
         "mqtt_keepalive=120\r\n"
         "mqtt_version=4\r\n"
         "mqtt_user=gw\r\n"
         "mqtt_password=p=ss\r\n"
         "sub_topic1=cmd/gw/0/DO\r\n"
         "sub_topic2=cmd/gw/0/AO\r\n"
         "pub_topic_info=gw/info\r\n"
         "pub_topic_di=gw/di\r\n"
         "pub_topic_ai=gw/ai\r\n"
         "pub_topic_gps=gw/gps\r\n"
         "pub_topic_ack=gw/ack\r\n"
         "[CHT]\r\n"
         "mqtt_cht=1\r\n"
         "device_id=dev-1\r\n"
         "sensor_id=sen-1\r\n";
}

ProgInfo parse(const std::string& text, std::optional<std::string>* error = nullptr) {
  ProgInfo info{};
  auto e = parse_prog_conf(text, info);
  if (error != nullptr) *error = e;
  return info;
}

TEST(ProgConf, FieldsGoByLinePositionNotByName) {
  // Without the leading section line every field moves up by one.
  std::string text = full_file().substr(std::string("[SYSTEM]\r\n").size());
  ProgInfo info = parse(text);
  EXPECT_EQ(info.send_interval, 10);
  EXPECT_EQ(info.auto_connect, 1);
  EXPECT_STREQ(info.apn, "cmnet");
  EXPECT_EQ(info.server_port, 5683);
  EXPECT_STREQ(info.server_host, "report.example.net");
  EXPECT_EQ(info.mqtt_enable, 1);
  EXPECT_STREQ(info.mqtt_host, "broker.example.net");
  EXPECT_EQ(info.mqtt_port, 1883);
  EXPECT_EQ(info.mqtt_bufsize, 1024);
  EXPECT_EQ(info.mqtt_keepalive, 120);
  EXPECT_EQ(info.mqtt_version, 4);
  EXPECT_STREQ(info.mqtt_user, "gw");
  EXPECT_STREQ(info.mqtt_password, "p=ss");  // later "=" belong to the value
  EXPECT_STREQ(info.sub_topic1, "cmd/gw/0/DO");
  EXPECT_STREQ(info.sub_topic2, "cmd/gw/0/AO");
  EXPECT_STREQ(info.pub_topic_info, "gw/info");
  EXPECT_STREQ(info.pub_topic_ack, "gw/ack");
  EXPECT_EQ(info.mqtt_cht, 1);
  EXPECT_STREQ(info.device_id, "dev-1");
  EXPECT_STREQ(info.sensor_id, "sen-1");

  ProgInfo shifted = parse(full_file());
  EXPECT_EQ(shifted.send_interval, 0);     // line 0 is the section line
  EXPECT_EQ(shifted.auto_connect, 10);     // line 1 holds send_interval's value
  EXPECT_STREQ(shifted.apn, "1");
}

TEST(ProgConf, ValueEdgeCases) {
  ProgInfo info = parse(
      "send_interval=\r\n"        // empty integer
      "auto_connect= 5\r\n"       // blank before a number
      "apn=\r\n"                  // empty text: the LF alone
      "x=\r\n"
      "server_port=12x\r\n"
      "server_host= lead\n"       // LF without CR stays in the text
      "[s]\r\n"
      "mqtt_enable=abc\r\n"
      "mqtt_host=h=i\r\n");
  EXPECT_EQ(info.send_interval, 0);
  EXPECT_EQ(info.auto_connect, 5);
  EXPECT_STREQ(info.apn, "\n");
  EXPECT_EQ(info.server_port, 12);
  EXPECT_STREQ(info.server_host, " lead\n");
  EXPECT_EQ(info.mqtt_enable, 0);
  EXPECT_STREQ(info.mqtt_host, "h=i");

  // A final "=" with no line end reads as an empty value.
  ProgInfo last = parse("send_interval=3\r\nauto_connect=1\r\napn=");
  EXPECT_STREQ(last.apn, "");
}

TEST(ProgConf, ReadingStopsAtTheFirstLineWithoutEqualsOrBracket) {
  std::string text = full_file();
  // A blank line after line 12 (mqtt_version) leaves lines 13 to 25 unread.
  size_t at = text.find("mqtt_user=");
  text.insert(at, "\r\n");
  ProgInfo info = parse(text.substr(std::string("[SYSTEM]\r\n").size()));
  EXPECT_EQ(info.mqtt_version, 4);
  EXPECT_STREQ(info.mqtt_user, "");
  EXPECT_STREQ(info.sub_topic1, "");
  EXPECT_EQ(info.mqtt_cht, 0);

  // A section line that lost its bracket ends the reading there.
  ProgInfo cut = parse("send_interval=1\r\nauto_connect=1\r\nSECTION]\r\napn=x\r\n");
  EXPECT_EQ(cut.auto_connect, 1);
  EXPECT_STREQ(cut.apn, "");
}

TEST(ProgConf, LongLinesAreCutByTheLineBuffer) {
  // Positions 0..14 filled, then a 200-character sub_topic1 line: the first
  // 127 characters form line 15; the remainder holds "=" and is line 16.
  std::string text;
  for (int i = 0; i < 15; ++i) text += "v=1\r\n";
  std::string topic = "sub_topic1=" + std::string(116, 'a') + "=tail" + std::string(68, 'b');
  text += topic + "\r\n";
  text += "pub_topic_info=info\r\n";
  ProgInfo info = parse(text);
  EXPECT_EQ(std::string(info.sub_topic1), topic.substr(11, 127 - 11));
  EXPECT_EQ(std::string(info.sub_topic2), std::string("tail") + std::string(68, 'b'));
  EXPECT_STREQ(info.pub_topic_info, "info");

  // A remainder without "=" or "[" ends the reading.
  std::string text2;
  for (int i = 0; i < 15; ++i) text2 += "v=1\r\n";
  text2 += "sub_topic1=" + std::string(190, 'c') + "\r\npub_topic_info=info\r\n";
  ProgInfo info2 = parse(text2);
  EXPECT_EQ(std::string(info2.sub_topic1).size(), 116u);
  EXPECT_STREQ(info2.sub_topic2, "");
  EXPECT_STREQ(info2.pub_topic_info, "");
}

TEST(ProgConf, TextTooLongForItsFieldRefusesTheFile) {
  std::optional<std::string> error;
  parse("a=1\r\nb=1\r\napn=0123456789abcdef\r\n", &error);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("nbiot_prog.ini"), std::string::npos);
  EXPECT_NE(error->find("line 2"), std::string::npos);
  EXPECT_NE(error->find("apn"), std::string::npos);

  parse("a=1\r\nb=1\r\napn=0123456789abcde\r\n", &error);  // 15 characters fit
  EXPECT_FALSE(error);

  std::string host(64, 'h');
  parse("a=1\r\nb=1\r\nc=x\r\nd=\r\ne=1\r\nserver_host=" + host + "\r\n", &error);
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("server_host"), std::string::npos);
}

}  // namespace
