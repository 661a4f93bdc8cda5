// Bring-up and MQTT reconnection against a scripted modem in memory
// (ScriptedModem: echo, then the answer from a table).
#include "modem/bringup.h"

#include <gtest/gtest.h>

#include "scripted_modem.h"

namespace {

class Bringup : public ::testing::Test {
 protected:
  // The console since the last look holds the line.
  bool console_has_line(const std::string& line) {
    return capture.take().find(line + "\n") != std::string::npos;
  }

  support::ScopedConsoleCapture capture;
  ModemRig pty;
  ScriptedModem modem{pty.port(modem_port)};
  Settings settings = test_modem_settings();
  ModemLink link{pty.at(), settings};
  int zrst_seen = 0;
};

TEST_F(Bringup, UdpWithTheEchoOffAndTheStatusFile) {
  modem.echo = false;  // a saved ATE0 profile
  modem.answer("AT+ESOC", "\r\n+ESOC=2\r\n" + kOk);
  EXPECT_TRUE(link.bring_up());
  EXPECT_EQ(modem.commands(),
            (std::vector<std::string>{"AT*MCGDEFCONT=\"IP\",\"cmnet\"\r\n", "AT*MSPCHSC=1\r\n",
                                      "AT+ZCONTLED=1\r\n", "AT+ZRST\r\n", "AT+CFUN=1\r\n",
                                      "AT+CEREG?\r\n", "AT+CSQ\r\n", "AT+ESOREADEN=0\r\n",
                                      "AT+ESOC=1,2,1\r\n", "AT+EDNS=\"report.example\"\r\n",
                                      "AT+ESOCON=2,5683,\"10.0.0.9\"\r\n"}));
  EXPECT_EQ(link.socket_id(), 2);
  EXPECT_STREQ(settings.server_host, "report.example");  // the link keeps the address
  std::string expected = "cregvalue=1\ncsqvalue=23\n";
  expected.resize(512, '\0');
  EXPECT_EQ(pty.status_file(), expected);
  EXPECT_TRUE(console_has_line("cregvalue=1\ncsqvalue=23\n"));
}

TEST_F(Bringup, EveryFailureTextAndResult) {
  struct Case {
    int32_t mqtt;
    const char* key;
    std::string answer;
    const char* line;
  };
  const std::vector<Case> cases = {
      {0, "AT+ESOC", kOk, "[ERROR] Create UDP socket error!!"},
      {0, "AT+EDNS", kError, "[ERROR] DNS error!!"},
      {0, "AT+ESOCON", "\r\n+CME ERROR: 3\r\n", "[ERROR] UDP connection error!!"},
      {1, "AT+EDNS", kOk, "[ERROR] DNS error!!"},
      {1, "AT+EDNS", "\r\n+EDNS:" + std::string(64, '1') + "\r\n" + kOk, "[ERROR] DNS error!!"},
      {1, "AT+EMQNEW", kError, "[ERROR] Create MQTT service error!!"},
      {1, "AT+EMQNEW", kOk, "[ERROR] Create MQTT service error!!"},
      {1, "AT+EMQCON", kError, "[ERROR] MQTT connection error!!"},
      {1, "AT+EMQSUB", kError, "[ERROR] MQTT subscribe error!!"},
  };
  for (const Case& c : cases) {
    settings.transport = c.mqtt ? ReportTransport::kMqtt : ReportTransport::kUdp;
    std::strcpy(settings.mqtt_host, "broker.example");
    modem.hook([c](const std::string& command) -> std::optional<std::string> {
      return command_key(command) == c.key ? std::optional(c.answer) : std::nullopt;
    });
    EXPECT_FALSE(link.bring_up()) << c.line;
    EXPECT_TRUE(console_has_line(c.line)) << c.line;
    // An address that does not fit is not stored.
    if (c.answer.size() > 64) {
      EXPECT_STREQ(settings.mqtt_host, "broker.example");
    }
  }
}

TEST_F(Bringup, RoamingIsNotRegisteredAndRestartsTheCycle) {
  // Roaming (5) until the modem has been restarted a second time.
  modem.hook([this](const std::string& command) -> std::optional<std::string> {
    if (command_key(command) == "AT+CEREG" && zrst_seen < 2) return "\r\n+CEREG: 0,5\r\n" + kOk;
    if (command_key(command) == "AT+ZRST") ++zrst_seen;
    return std::nullopt;
  });
  const uint32_t t0 = pty.clock().ticks();
  EXPECT_TRUE(link.bring_up());
  EXPECT_EQ(modem.count("AT+ZRST"), 2);
  EXPECT_EQ(modem.count("AT*MCGDEFCONT"), 2);
  EXPECT_GE(pty.clock().ticks() - t0, 120000u);  // the first wait lasted its 120 s
  EXPECT_TRUE(console_has_line("cregvalue=5\ncsqvalue=23\n"));
  EXPECT_EQ(pty.status_file().substr(0, 24), "cregvalue=1\ncsqvalue=23\n");
}

// A modem that answers nothing over a whole attempt has its port reopened; a
// port that comes back begins the cycle again, and the modem there is
// brought up.
TEST_F(Bringup, AModemSilentForAWholeAttemptHasItsPortReopened) {
  PortKeeper keeper(pty.port(modem_port), "Modem");
  ASSERT_EQ(keeper.open({9600, 8, Parity::kNone, 1}), 0);
  AtChannel at(keeper);
  ModemLink kept(at, settings);
  int seen = 0;
  modem.hook([&](const std::string&) -> std::optional<std::string> {
    if (++seen <= 7) return "";  // the first attempt's seven commands
    return std::nullopt;
  });
  EXPECT_TRUE(kept.bring_up());
  modem.hook(nullptr);  // seen goes out of scope
  const std::string path = (pty.root() / "dev/ttyUSB0").string();
  EXPECT_NE(capture.take().find("Modem port " + path +
                                " lost (no answer to a whole bring-up attempt), reopening!!\n"
                                "Send: AT*MCGDEFCONT=\"IP\",\"cmnet\"\r\nModem port " +
                                path + " back\n"),
            std::string::npos);
  // Written after the port came back, AT*MSPCHSC=1 began a cycle that ends
  // at once; the next one brings the modem up.
  EXPECT_EQ(modem.count("AT*MCGDEFCONT"), 2);
  EXPECT_EQ(modem.count("AT+ZRST"), 3);
}

// A one-character user sends no credentials; one topic when both are the same.
TEST_F(Bringup, ReconnectSendsFourCommandsAndSurvivesADisconnectError) {
  settings.transport = ReportTransport::kMqtt;
  std::strcpy(settings.mqtt_user, "a");
  std::strcpy(settings.mqtt_password, "pw");
  link.set_ids_for_test(0, 5);
  modem.inject("\r\n+EMQDISCON: 0\r\n");  // the lost session that asks for it
  modem.answer("AT+EMQDISCON", kError);
  modem.answer("AT+EMQNEW", "\r\n+EMQNEW: 6\r\n" + kOk);
  EXPECT_TRUE(link.reconnect_mqtt());
  EXPECT_EQ(modem.commands(),
            (std::vector<std::string>{
                "AT+EMQDISCON=5\r\n", "AT+EMQNEW=\"broker.example\",\"1883\",20000,1024\r\n",
                "AT+EMQCON=6,4,\"myclientid\",120,1,0\r\n", "AT+EMQSUB=6,\"gw/cmd/+/DO\",1\r\n"}));
  EXPECT_EQ(link.client_id(), 6);
  EXPECT_FALSE(link.take_session_lost());  // the echo of AT+EMQDISCON is no report

  // An answer with "OK" and no client id fails the call and keeps the old id.
  modem.answer("AT+EMQNEW", kOk);
  EXPECT_FALSE(link.reconnect_mqtt());
  EXPECT_TRUE(console_has_line("[ERROR] Create MQTT service error!!"));
  EXPECT_EQ(link.client_id(), 6);

  // Credentials go out; the console shows the password's place, never it.
  std::strcpy(settings.mqtt_user, "usr");
  std::strcpy(settings.mqtt_password, "pw9");
  modem.answer("AT+EMQNEW", "\r\n+EMQNEW: 7\r\n" + kOk);
  capture.take();
  EXPECT_TRUE(link.reconnect_mqtt());
  EXPECT_EQ(modem.commands().back(), "AT+EMQSUB=7,\"gw/cmd/+/DO\",1\r\n");
  EXPECT_EQ(modem.commands().end()[-2], "AT+EMQCON=7,4,\"myclientid\",120,1,0,usr,pw9\r\n");
  const std::string out = capture.take();
  EXPECT_NE(out.find("Send: AT+EMQCON=7,4,\"myclientid\",120,1,0,usr,***\r\n"), out.npos);
  EXPECT_EQ(out.find("pw9"), out.npos) << out;
}

}  // namespace
