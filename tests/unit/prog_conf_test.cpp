// The program file: fields go by line position, not by name. The packaged
// examples must read as documented (a typo or an LF-only line end there would
// reach every new installation).
#include "config/prog_conf.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "config/conf_text.h"
#include "test_support.h"

namespace {

std::string example(const std::string& kind, const std::string& file) {
  auto text = read_whole_file(std::string(QUORVANE_SOURCE_DIR) + "/packaging/examples/" + kind +
                              "/" + file);
  EXPECT_TRUE(text) << kind << "/" << file;
  return text.value_or("");
}

Settings parse(const std::string& text) {
  auto read = parse_prog_conf(text, "nbiot_prog.ini");
  EXPECT_TRUE(read.ok()) << read.refusal()->text;
  return read.ok() ? read.value() : Settings{};
}

// Every field in file order (empty texts show as their LF, hence the "|" after them).
std::string describe(const Settings& i) {
  std::ostringstream o;
  o << i.send_interval << ' ' << i.auto_connect << ' ' << i.apn << ' ' << i.server_port << ' '
    << i.server_host << ' ' << int(i.transport) << ' ' << i.mqtt_host << ' ' << i.mqtt_port << ' '
    << i.mqtt_bufsize << ' ' << i.mqtt_keepalive << ' ' << i.mqtt_version << ' ' << i.mqtt_user
    << '|' << i.mqtt_password << '|' << i.sub_topic1 << ' ' << i.sub_topic2 << ' '
    << i.pub_topic_info << ' ' << i.pub_topic_di << ' ' << i.pub_topic_ai << ' ' << i.pub_topic_gps
    << ' ' << i.pub_topic_ack << ' ' << i.mqtt_cht << ' ' << i.device_id << ' ' << i.sensor_id;
  return o.str();
}

TEST(ProgConf, PackagedExamplesYieldTheDocumentedSettingsByLinePosition) {
  for (const std::string kind : {"udp", "mqtt"}) {
    std::string text = example(kind, "nbiot_prog.ini");
    EXPECT_EQ(text.find("\n"), text.find("\r\n") + 1) << "CR LF line ends";
    EXPECT_EQ(describe(parse(text)),
              "60 1 cmnbiot 5683 report.example.com " + std::string(kind == "mqtt" ? "1" : "0") +
                  " broker.example.com 1883 1024 120 4 \n|\n|quorvane/cmd/+/DO quorvane/cmd/+/AO "
                  "quorvane/info quorvane/di quorvane/ai quorvane/gps quorvane/ack " +
                  (kind == "mqtt" ? "1" : "0") + " gw-0001 sensor-0001");
    // A section line counts as a line: one more in front shifts every field.
    Settings shifted = parse("[SYSTEM]\r\n" + text);
    EXPECT_EQ(shifted.send_interval, 0);
    EXPECT_TRUE(shifted.auto_connect);  // 60 is on
    EXPECT_STREQ(shifted.apn, "1");
    EXPECT_STREQ(shifted.sensor_id, "gw-0001");
  }
}

TEST(ProgConf, ValueEdgeCases) {
  Settings info = parse(
      "send_interval=\r\n"   // empty integer
      "auto_connect= 5\r\n"  // blank before a number
      "apn=\r\n"             // empty text: the LF alone
      "x=\r\n"
      "server_port=12x\r\n"
      "server_host= lead\n"  // LF without CR stays in the text
      "[s]\r\n"
      "mqtt_enable=abc\r\n"
      "mqtt_host=h=i\r\n"  // later "=" belong to the value
      "mqtt_port=");       // a final "=" with no line end: empty
  EXPECT_EQ(info.send_interval, 0);
  EXPECT_TRUE(info.auto_connect);
  EXPECT_STREQ(info.apn, "\n");
  EXPECT_EQ(info.server_port, 12);
  EXPECT_STREQ(info.server_host, " lead\n");
  EXPECT_EQ(info.transport, ReportTransport::kUdp);
  EXPECT_STREQ(info.mqtt_host, "h=i");

  // Reading stops at the first line with neither "=" nor "[".
  Settings cut = parse("send_interval=1\r\nauto_connect=1\r\nSECTION]\r\napn=x\r\n");
  EXPECT_EQ(cut.auto_connect, 1);
  EXPECT_STREQ(cut.apn, "");
  Settings blank = parse("send_interval=1\r\n\r\nauto_connect=1\r\n");
  EXPECT_EQ(blank.auto_connect, 0);
}

TEST(ProgConf, LongLinesAreCutByTheLineBuffer) {
  // Positions 0..14 filled, then a 200-character sub_topic1 line: the first
  // 127 characters form line 15; the remainder holds "=" and is line 16.
  std::string head;
  for (int i = 0; i < 15; ++i) head += "v=1\r\n";
  std::string topic = "sub_topic1=" + std::string(116, 'a') + "=tail" + std::string(68, 'b');
  Settings info = parse(head + topic + "\r\npub_topic_info=info\r\n");
  EXPECT_EQ(std::string(info.sub_topic1), topic.substr(11, 127 - 11));
  EXPECT_EQ(std::string(info.sub_topic2), "tail" + std::string(68, 'b'));
  EXPECT_STREQ(info.pub_topic_info, "info");
}

TEST(ProgConf, TextTooLongForItsFieldRefusesTheFile) {
  struct Case {
    std::string text;
    int line;  // 0: accepted
    const char* reason;
  };
  const Case cases[] = {
      // The position is what the line is called: counted from 0, as the fields are.
      {"a=1\r\nb=1\r\napn=0123456789abcdef\r\n", 2,
       "line 2 (apn) has 16 characters, at most 15 fit!!"},
      {"a=1\r\nb=1\r\napn=0123456789abcde\r\n", 0, ""},  // 15 characters fit
      {"a=1\r\nb=1\r\nc=x\r\nd=\r\ne=1\r\nserver_host=" + std::string(64, 'h') + "\r\n", 5,
       "server_host"},
  };
  for (const Case& c : cases) {
    auto read = parse_prog_conf(c.text, "nbiot_prog.ini");
    EXPECT_EQ(support::refusal_problem(read.refusal(), c.line, c.reason), "") << c.text;
  }
}

// A text that would break its AT command line (a quote closing it early, ";"
// chaining a command such as +CFUN=0, a control character, "," in the unquoted
// user and password) refuses the file; fields the transport does not send are
// not looked at. Positions: 2 apn, 5 server_host, 8 mqtt_host, 13/14 user and
// password, 15-21 topics.
TEST(ProgConf, TextsThatWouldBreakTheirAtCommandRefuseTheFile) {
  struct Case {
    const char* kind;
    int position;
    std::string value;
    int line;  // 0: accepted
    const char* reason;
  };
  const Case cases[] = {
      {"udp", 2, "a\";+CFUN=0;+Z=\"", 2, "(apn) holds the character '\"', which would break"},
      {"udp", 2, "cm;net", 2, "(apn) holds the character ';'"},
      {"udp", 2, "", 2, "(apn) holds the control character 0x0A"},  // empty: the LF alone
      {"udp", 5, "host\tname", 5, "(server_host) holds the control character 0x09"},
      {"udp", 5, "a,b.example", 0, ""},  // quoted in its command
      {"udp", 8, "x\"y", 0, ""},         // MQTT fields: not sent over UDP
      {"mqtt", 5, "x\"y", 0, ""},        // nor the UDP server's over MQTT
      {"mqtt", 8, "broker\x7f", 8, "(mqtt_host) holds the control character 0x7F"},
      {"mqtt", 13, "us,er", 13, "(mqtt_user) holds the character ','"},
      {"mqtt", 13, "u", 0, ""},      // one character: no credentials are sent
      {"mqtt", 14, "pa,ss", 0, ""},  // the user is empty: not sent either
      {"mqtt", 16, "gw/cmd;+EMQDISCON=0", 16, "(sub_topic2) holds the character ';'"},
      {"mqtt", 21, "ack\"", 21, "(pub_topic_ack)"},
      {"mqtt", 17, "gw/é,info", 0, ""},
  };
  for (const Case& c : cases) {
    std::string text = example(c.kind, "nbiot_prog.ini");
    size_t at = 0;
    for (int i = 0; i < c.position; ++i) at = text.find("\r\n", at) + 2;
    size_t eq = text.find('=', at) + 1;
    text.replace(eq, text.find("\r\n", eq) - eq, c.value);
    auto read = parse_prog_conf(text, "nbiot_prog.ini");
    ASSERT_TRUE(read.ok()) << text;
    auto refusal = refuse_at_breaking_texts(read.value(), "nbiot_prog.ini");
    EXPECT_EQ(support::refusal_problem(refusal ? &*refusal : nullptr, c.line, c.reason), "")
        << c.kind << " " << c.position << " " << c.value;
  }
  // The password is checked once it is sent, and never shown.
  std::string text = example("mqtt", "nbiot_prog.ini");
  text.replace(text.find("mqtt_user=") + 10, 0, "user");
  text.replace(text.find("mqtt_password=") + 14, 0, "se,cret");
  auto refusal = refuse_at_breaking_texts(parse(text), "nbiot_prog.ini");
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->text,
            "Configure file nbiot_prog.ini: line 14 (mqtt_password) holds the character ',', "
            "which would break its AT command!!");
}

}  // namespace
