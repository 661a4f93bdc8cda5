// The AT exchange and the receive routine on real pseudo-terminals, with the
// virtual clock: what is waiting when the call starts is what the modem sent.
#include "modem/at_link.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "messaging/codec.h"
#include "modem/downlink.h"
#include "modem_pty.h"

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

class AtLink : public ::testing::Test {
 protected:
  void SetUp() override {
    set_downlink_handlers(
        [this](char* frame, int32_t n) {
          frames.emplace_back(frame);
          frame_mb_num = n;
        },
        [this](MqttDownlink r, int32_t) { commands.push_back(r); });
  }

  // One receive call; the response text and what the console showed.
  int recv(uint8_t port = modem_port, uint8_t line_mode = 0, bool* timed_out = nullptr) {
    response.fill('#');
    CaptureStdout();
    int r = recv_str(port, response.data(), line_mode, timed_out);
    console = GetCapturedStdout();
    return r;
  }
  std::string text() const { return response.data(); }

  // "+ESONMI=" report of a frame scrambled as the server does it.
  static std::string esonmi_of(const std::string& frame) {
    std::array<uint8_t, 256> buf{};
    std::memcpy(buf.data(), frame.data(), frame.size());
    int32_t len = static_cast<int32_t>(frame.size());
    encode_msg(buf.data(), &len);
    return "+ESONMI=0," + std::to_string(len) + "," + hex_text(buf.data(), len) + "\r\n";
  }
  static std::string hex_text(const void* bytes, size_t n) {
    std::string hex(2 * n + 1, '\0');
    bytes_to_hex(static_cast<const uint8_t*>(bytes), n, hex.data());
    hex.pop_back();
    return hex;
  }

  ModemPty pty;
  std::array<char, kResponseSize> response{};
  std::string console;
  std::vector<std::string> frames;
  int32_t frame_mb_num = -1;
  std::vector<MqttDownlink> commands;
};

TEST_F(AtLink, NothingWaitingReturnsZeroSilentlyWithACleanBuffer) {
  EXPECT_EQ(recv(), 0);
  EXPECT_EQ(console, "");
  for (char c : response) ASSERT_EQ(c, '\0');
}

TEST_F(AtLink, FinalResultsEndTheResponseByteForByte) {
  flag_wait_cmd = 1;
  pty.send(modem_port, "\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\nOK\r\n");
  EXPECT_EQ(flag_wait_cmd.load(), 0);
  EXPECT_EQ(console, "Recv:\r\n\r\nOK\r\n-----\r\n\r\n");

  flag_wait_cmd = 1;
  const std::string answer = "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n";
  pty.send(modem_port, answer);
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), answer);

  // An extended error code after the word ends the response as well.
  flag_wait_cmd = 1;
  pty.send(modem_port, "\r\n+CME ERROR: 50\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\n+CME ERROR: 50\r\n");
  EXPECT_EQ(flag_wait_cmd.load(), 0);
  EXPECT_EQ(flag_recv_timeout.load(), 0);
}

TEST_F(AtLink, ReportsDuringACommandAreActedOnAndLeftOut) {
  flag_wait_cmd = 1;
  pty.send(modem_port,
           "\r\n+EMQDISCON: 0\r\n\r\n+IP: 10.0.0.2\r\n" + esonmi_of("AE,RDO,1,EA") + "\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\nOK\r\n");
  EXPECT_EQ(flag_EMQDISCON.load(), 1);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].substr(0, 11), "AE,RDO,1,EA");
  EXPECT_NE(console.find("Receive EMQDISCON message!!\n\r\n+EMQDISCON: 0\r\n"), std::string::npos);
  EXPECT_NE(console.find("Receive IP message!!\n\r\n+IP: 10.0.0.2\r\n"), std::string::npos);
}

TEST_F(AtLink, AReportWhileNothingIsAwaitedEndsTheCallAndTheRestWaits) {
  mb_num = 3;
  // The report and what follows it arrive in one read.
  pty.send(modem_port, esonmi_of("AE,RAO,2,EA") + "\r\n+EMQDISCON\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frame_mb_num, 3);
  EXPECT_EQ(flag_EMQDISCON.load(), 0);
  const std::string hex = esonmi_of("AE,RAO,2,EA").substr(13, 32);
  EXPECT_EQ(console.substr(0, 26), "Receive +ESONMI message!!\n");
  EXPECT_NE(console.find("Data = " + hex +
                         "\nData Length = 16\n"
                         "\r\n<--- RECONSTRUCTURE MESSAGE --->\r\n"
                         "HEX String (len = 32):\r\n" +
                         hex + "\r\nHEX Data:\r\n" + hex),
            std::string::npos);
  EXPECT_NE(console.find("\r\n<--- DEAL WITH MESSAGE --->\r\n"), std::string::npos);

  // The next call finds the report that followed, kept from the last read.
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(flag_EMQDISCON.load(), 1);
  EXPECT_EQ(recv(), 0);
}

TEST_F(AtLink, AnOkFollowedByAReportInOneRead) {
  flag_wait_cmd = 1;
  pty.send(modem_port, "\r\nOK\r\n\r\n+EMQDISCON\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\nOK\r\n");
  EXPECT_EQ(flag_EMQDISCON.load(), 0);
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(flag_EMQDISCON.load(), 1);
}

TEST_F(AtLink, UnusableDatagramsAreDropped) {
  // Not a multiple of 16: the codec refuses it.
  pty.send(modem_port, "+ESONMI=0,3,414243\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_NE(console.find("Receive error message length!!"), std::string::npos);
  // Too few hex digits, too few fields, a count above the payload buffer.
  for (const char* line : {"+ESONMI=0,16,4142\r\n", "+ESONMI=0,16\r\n", "+ESONMI=0,1025,41\r\n"}) {
    pty.send(modem_port, line);
    EXPECT_EQ(recv(), 1);
    EXPECT_NE(console.find("[ERROR] +ESONMI= message dropped: "), std::string::npos) << line;
    EXPECT_EQ(console.find("RECONSTRUCTURE"), std::string::npos) << line;
  }
  EXPECT_TRUE(frames.empty());
}

TEST_F(AtLink, PublicationsBecomeCommands) {
  // "1,0" as hex text on a plain topic, nothing awaited: the text before the
  // topic's quote goes into the response.
  pty.send(modem_port, "+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,3,\"312C30\"\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "+EMQPUB: 0,");
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].session_id, 2);
  EXPECT_STREQ(commands[0].type, "DO");
  EXPECT_STREQ(commands[0].data, "1,0");
  EXPECT_EQ(commands[0].length, 3u);

  // JSON form, during a command.
  flag_mqtt_CHT = 1;
  flag_wait_cmd = 1;
  const std::string json =
      "{\"id\":\"1\",\"deviceId\":\"d\",\"time\":\"t\",\"value\":[\"4/AO/300\"]}";
  pty.send(modem_port, "+EMQPUB: 0,\"t\",1,0,0," + std::to_string(json.size()) + ",\"" +
                           hex_text(json.data(), json.size()) + "\"\r\n\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\nOK\r\n");
  ASSERT_EQ(commands.size(), 2u);
  EXPECT_EQ(commands[1].session_id, 4);
  EXPECT_STREQ(commands[1].type, "AO");
  EXPECT_STREQ(commands[1].data, "300");

  // A JSON array is no command; a report without its quoted pieces is dropped.
  pty.send(modem_port, "+EMQPUB: 0,\"t\",1,0,0,4,\"5B2F444F\"\r\n+EMQPUB: 0,\"t\"\r\n\r\nOK\r\n");
  flag_wait_cmd = 1;
  EXPECT_EQ(recv(), 1);
  EXPECT_NE(console.find("Not DO or AO message!!\n"), std::string::npos);
  EXPECT_NE(console.find("[ERROR] +EMQPUB: message dropped: fewer than four quoted pieces!!"),
            std::string::npos);
  EXPECT_EQ(commands.size(), 2u);
}

TEST_F(AtLink, UnrecognisedLinesAreCollectedUntilAResultOrTheTimeLimit) {
  pty.send(modem_port, "\r\n+CEREG: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\n+CEREG: 1\r\n\r\nOK\r\n");

  pty.send(modem_port, "\r\n+CEREG: 1\r\n");
  const uint32_t t0 = pty.clock().ticks();
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\n+CEREG: 1\r\n");
  EXPECT_EQ(pty.clock().ticks() - t0, 60010u);
  EXPECT_EQ(flag_recv_timeout.load(), 1);
}

TEST_F(AtLink, TimeLimitsAreStrictAndPerPort) {
  // A few characters and nothing more: the limit is passed only when the
  // elapsed time is larger than 60000 ms.
  flag_wait_cmd = 1;
  pty.send(modem_port, "AT+C");
  uint32_t t0 = pty.clock().ticks();
  bool timed_out = false;
  EXPECT_EQ(recv(modem_port, 0, &timed_out), 1);
  EXPECT_EQ(pty.clock().ticks() - t0, 60010u);
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(flag_recv_timeout.load(), 1);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(console, "Receiving message timeout!!\nRecv:\r\n-----\r\n\r\n");
  EXPECT_EQ(flag_wait_cmd.load(), 1);

  // While the modem restarts, 10 seconds.
  flag_recv_timeout = 0;
  flag_ZRST = 1;
  pty.send(modem_port, "AT+Z");
  t0 = pty.clock().ticks();
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(pty.clock().ticks() - t0, 10010u);
  EXPECT_EQ(flag_recv_timeout.load(), 1);
  EXPECT_EQ(console, "Wait AT+ZRST for 10 secs.\nRecv:\r\n-----\r\n\r\n");

  // The GPS port keeps its own 60 seconds and never raises the modem's flag.
  flag_recv_timeout = 0;
  pty.send(gps_port, "$GPRMC,12");
  t0 = pty.clock().ticks();
  EXPECT_EQ(recv(gps_port, 1, &timed_out), 1);
  EXPECT_EQ(pty.clock().ticks() - t0, 60010u);
  EXPECT_TRUE(timed_out);
  EXPECT_EQ(flag_recv_timeout.load(), 0);
  EXPECT_EQ(text(), "");
  EXPECT_EQ(console, "Receiving message timeout!!\nRecv:\r\n-----\r\n\r\n");
}

TEST_F(AtLink, LineModeReturnsOneLineWithColons) {
  pty.send(gps_port, "$GPRMC,1,A\r\n$GPGGA,2\r\n");
  bool timed_out = true;
  EXPECT_EQ(recv(gps_port, 1, &timed_out), 1);
  EXPECT_EQ(text(), "$GPRMC:1:A\r\n");
  EXPECT_FALSE(timed_out);
  EXPECT_EQ(console, "");
  EXPECT_EQ(recv(gps_port, 1), 1);
  EXPECT_EQ(text(), "$GPGGA:2\r\n");
  EXPECT_EQ(recv(gps_port, 1), 0);
}

TEST_F(AtLink, OverlongLinesAndResponsesStayInTheirBuffers) {
  flag_wait_cmd = 1;
  pty.send(modem_port, std::string(1500, 'x') + "\r\n\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), "\r\nOK\r\n");
  EXPECT_NE(console.find("[ERROR] Line of 1024 bytes or more without LF dropped!!"),
            std::string::npos);

  // Three 400-character lines: the third does not fit in 1023 characters.
  flag_wait_cmd = 1;
  const std::string line = std::string(398, 'y') + "\r\n";
  pty.send(modem_port, line + line + line + "\r\nOK\r\n");
  EXPECT_EQ(recv(), 1);
  EXPECT_EQ(text(), line + line + "\r\nOK\r\n");
  EXPECT_NE(console.find("[ERROR] Response longer than 1023 characters, line dropped!!"),
            std::string::npos);
}

TEST_F(AtLink, SendRecvStrExchangesAndBoundsASilentModem) {
  std::array<char, kResponseSize> answer{};
  pty.send(modem_port, "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
  CaptureStdout();
  send_recv_str(modem_port, "AT+CSQ\r\n", answer.data());
  std::string out = GetCapturedStdout();
  EXPECT_EQ(pty.received(modem_port), "AT+CSQ\r\n");
  EXPECT_STREQ(answer.data(), "AT+CSQ\r\r\n+CSQ: 23,99\r\n\r\nOK\r\n");
  EXPECT_EQ(out.substr(0, 14), "Send: AT+CSQ\r\n");
  EXPECT_EQ(flag_wait_cmd.load(), 0);

  // No answer at all: bounded by the same 60 seconds.
  const uint32_t t0 = pty.clock().ticks();
  CaptureStdout();
  send_recv_str(modem_port, "AT\r\n", answer.data());
  out = GetCapturedStdout();
  EXPECT_EQ(pty.clock().ticks() - t0, 60010u);
  EXPECT_EQ(flag_recv_timeout.load(), 1);
  EXPECT_EQ(flag_wait_cmd.load(), 1);
  EXPECT_EQ(out, "Send: AT\r\nReceiving message timeout!!\nRecv:\r\n-----\r\n\r\n");
}

TEST(ReconMessage, TolerantHexInUpperCaseOut) {
  uint8_t out[3] = {0xEE, 0xEE, 0xEE};
  CaptureStdout();
  recon_message(2, "0a1B", out);
  EXPECT_EQ(GetCapturedStdout(), "HEX String (len = 4):\r\n0a1B\r\nHEX Data:\r\n0A1B");
  EXPECT_EQ(out[0], 0x0A);
  EXPECT_EQ(out[1], 0x1B);
  EXPECT_EQ(out[2], 0xEE);
  CaptureStdout();
  recon_message(1, "G7", out);
  GetCapturedStdout();
  EXPECT_EQ(out[0], 0x07);
}

}  // namespace
