// The report session loop against a scripted modem on a pseudo-terminal, with
// the virtual clock: the message order and values, the pending bits, the cycle
// end, resends, the modem re-initialisation, the MQTT link repair, the
// acknowledgements and the idle-pass limit. The loop is driven pass by pass.
#include "messaging/report_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <regex>

#include "common/text.h"
#include "messaging/downlink_handlers.h"
#include "messaging/report_book.h"
#include "modem/bringup.h"
#include "scripted_modem.h"

namespace {

constexpr const char* kGps = "$GPRMC:092750.000:A:5321.6802:N:00630.3372:W:0.02:31.66:280511";

std::string field(std::string_view text, std::string_view delims, int k) {
  return std::string(nth_field(text, delims, k).value_or(""));
}

// The frame an AT+ESOSEND line carries, unscrambled, without its padding.
std::string frame_of(const std::string& command) {
  if (command_key(command) != "AT+ESOSEND") return "<no frame>";
  const std::string hex = field(cut_at(command, "\r"), "=,", 4);
  std::string bytes(hex.size() / 2, '\0');
  hex_to_bytes(hex, bytes.size(), reinterpret_cast<uint8_t*>(bytes.data()));
  EXPECT_EQ(static_cast<size_t>(read_int(field(command, "=,", 3))), bytes.size()) << command;
  if (decode_msg(reinterpret_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size())) == 0)
    return "<undecodable>";
  return bytes.substr(0, bytes.find_last_not_of(' ') + 1);
}

std::string type_of(const std::string& frame) {
  return field(frame, ",", 6);
}

// What the server answers to a frame, as the modem reports a datagram.
std::string datagram_answering(const std::string& frame) {
  return esonmi_report("AE,QRX724H,0100," + field(frame, ",", 4) + "," + field(frame, ",", 5) +
                       "," + type_of(frame) + ",0,0,EA");
}

std::vector<unsigned long> time_periods(const std::string& console) {
  std::vector<unsigned long> out;
  static const std::regex line(R"(Time Period = (\d+) ms\n)");
  for (std::sregex_iterator it(console.begin(), console.end(), line), end; it != end; ++it) {
    out.push_back(std::stoul((*it)[1].str()));
  }
  return out;
}

class ReportLoopTest : public testing::Test {
 protected:
  void SetUp() override {
    Settings& p = settings;
    p.send_interval = 10;
    std::strcpy(p.pub_topic_info, "gw/info");
    std::strcpy(p.pub_topic_ack, "gw/ack");

    Mapping& io = mapping;
    // Session 3: 2 DO, DI 1 0 1, 1 AO, AI 65535 12; session 7: one of each, DI 1, AI 500.
    io.session_count = 2;
    io.session_id[0] = 3;
    io.session_id[1] = 7;
    io.do_num[0] = io.ai_num[0] = 2;
    io.di_num[0] = 3;
    io.ao_num[0] = io.do_num[1] = io.di_num[1] = io.ao_num[1] = io.ai_num[1] = 1;
    support::store_values(image, 0, {.di_value = {1, 0, 1}, .ai_value = {65535, 12}});
    support::store_values(image, 1, {.di_value = {1}, .ai_value = {500}});
    gps.store(kGps);
    link.set_ids_for_test(1, 0);

    modem.answer("AT*MENGINFO",
                 "\r\n*MENGINFOSC: 3686,0,45,-891,-120,-145,-98,-6,5,1A2B,1,23,0\r\n"
                 "*MENGINFODC: 1,2\r\n\r\nOK\r\n");
    modem.hook([this](const std::string& c) { return server(c); });
    static const DeviceList no_devices;
    install_downlink_handlers(pty.at(), book, image, mapping, no_devices,
                              [] { ADD_FAILURE() << "a device out of reach"; });
  }

  // The loop's console so far.
  const std::string& log() { return log_ += console.take(); }

  // The report server behind the modem: every frame is accepted by the modem
  // and, unless its type is silenced, answered right after the "OK".
  std::optional<std::string> server(const std::string& command) {
    if (command_key(command) != "AT+ESOSEND") return std::nullopt;
    return server_silent ? kOk : kOk + datagram_answering(frame_of(command));
  }

  void start() { loop = std::make_unique<ReportLoop>(link, book, settings, mapping, image, gps); }
  ReportLoop& st() const { return *loop; }

  // Runs passes until pred holds; after every send pass, the bit of a frame
  // that went out is set (UDP) or no bit is ever set (MQTT).
  template <typename Pred>
  bool run_until(Pred pred, int max_passes = 10000) {
    for (int i = 0; i < max_passes; ++i) {
      if (pred()) return true;
      const bool send_pass = st().phase() == ReportPhase::kSend;
      loop->run_pass();
      if (settings.transport == ReportTransport::kMqtt) {
        for (int s = 0; s < kMaxSessions; ++s) EXPECT_EQ(book.pending(s), 0);
      } else if (send_pass && st().phase() == ReportPhase::kAwait) {
        EXPECT_NE(book.pending(st().session()) & step_bit(st().message()), 0U);
      }
    }
    return pred();
  }

  // Whether the modem was registered at the last DEVINFO, and the steps given up.
  std::pair<bool, int> failures() {
    return {st().failures().registered(), st().failures().given_up()};
  }

  // The last message of the cycle is finished and the cycle may not end yet.
  bool in_hold() const { return st().phase() == ReportPhase::kHold; }

  // The frames sent, their types, the keys of every command sent, in order.
  std::vector<std::string> frames() {
    std::vector<std::string> out;
    for (const auto& c : modem.commands()) {
      if (command_key(c) == "AT+ESOSEND") out.push_back(frame_of(c));
    }
    return out;
  }
  std::vector<std::string> frame_types() { return map(frames(), type_of); }
  std::vector<std::string> command_keys() { return map(modem.commands(), command_key); }
  static std::vector<std::string> map(std::vector<std::string> v,
                                      std::string (*f)(const std::string&)) {
    for (auto& s : v) s = f(s);
    return v;
  }

  IoImage image;
  GpsFix gps;
  support::ScopedConsoleCapture console;
  std::string log_;
  ModemRig pty;
  ScriptedModem modem{pty.port(modem_port)};
  Settings settings = test_modem_settings();
  Mapping mapping{};
  ModemLink link{pty.at(), settings};
  ReportBook book;
  bool server_silent = false;
  std::unique_ptr<ReportLoop> loop;
};

TEST_F(ReportLoopTest, UdpCyclesEndOnThePeriodAndTheAnswersAndAdvanceThePacketId) {
  book.set_packet_id_for_test(65535);
  std::filesystem::remove(pty.root() / "tmp/modemInfo.txt");
  modem.answer("AT+CSQ", "\r\n+CSQ: 17,99\r\n" + kOk);
  start();
  loop->run_pass();  // DEVINFO queries the modem again and rewrites the status file
  EXPECT_EQ(pty.status_file(), "cregvalue=1\ncsqvalue=17\n" + std::string(488, '\0'));
  EXPECT_EQ(failures(), std::pair(true, 0));

  // Every frame answered: the hold ends just after the period.
  ASSERT_TRUE(run_until([&] { return in_hold() && book.all_answered(2); }));
  EXPECT_TRUE(time_periods(log()).empty());
  const uint32_t first_start = st().period_start();
  ASSERT_TRUE(run_until([&] { return book.packet_id() == 0; }));
  EXPECT_EQ(frame_types(),
            (std::vector<std::string>{"DEVINFO", "RDO", "WDI", "RAO", "WAI", "WGPS", "DEVINFO",
                                      "RDO", "WDI", "RAO", "WAI", "WGPS"}));
  // Each session's own values, and the engineering report's, with the cycle's packet ID.
  EXPECT_EQ(frames()[0], "AE,QRX724H,0100,3,65535,DEVINFO,0,4,-120,1,-6,0,EA");
  EXPECT_EQ(frames()[2], "AE,QRX724H,0100,3,65535,WDI,0,3,1,0,1,EA");
  EXPECT_EQ(frames()[10], "AE,QRX724H,0100,7,65535,WAI,0,1,500,EA");
  auto periods = time_periods(log());
  ASSERT_EQ(periods.size(), 1u);
  EXPECT_GT(periods[0], 10000u);
  EXPECT_LT(periods[0], 10100u);
  EXPECT_EQ(st().period_start() - first_start, periods[0]);
}

TEST_F(ReportLoopTest, ARefusedMessageIsResentThreeTimesThenGivenUpASessionWithoutDiSendsNoWdi) {
  mapping.session_count = 1;
  mapping.di_num[0] = 0;
  int refusals = 0;
  modem.hook([&](const std::string& c) -> std::optional<std::string> {
    if (command_key(c) == "AT+ESOSEND" && type_of(frame_of(c)) == "WAI") {
      // Values change between the sendings, as the polling thread changes them.
      if (++refusals == 2)
        support::store_values(image, 0, {.di_value = {1, 0, 1}, .ai_value = {65535, 13}});
      return kError;
    }
    return server(c);
  });
  start();
  ASSERT_TRUE(run_until([&] { return st().message() == ReportStep::kGps; }));
  EXPECT_EQ(failures(), std::pair(true, 16));
  EXPECT_EQ(book.pending(0) & (16 | 4), 0);
  ASSERT_TRUE(run_until([&] { return modem.count("AT+ESOSEND") == 8; }));
  std::vector<std::string> all = frames();
  EXPECT_EQ(frame_types(), (std::vector<std::string>{"DEVINFO", "RDO", "RAO", "WAI", "WAI", "WAI",
                                                     "WAI", "WGPS"}));
  EXPECT_EQ(all[4], "AE,QRX724H,0100,3,0,WAI,0,2,65535,12,EA");
  EXPECT_EQ(all[5], "AE,QRX724H,0100,3,0,WAI,0,2,65535,13,EA");  // same packet ID
  std::string text = log();
  size_t at = text.find("SEND REQUEST PACKET --->\r\nNo any DI exist\r\n");
  for (const char* line : {"Resent packet[1].", "Resent packet[2].", "Resent packet[3].",
                           "Already retry 3 times. Sent next message."}) {
    ASSERT_NE(at = text.find("Send packet error!! " + std::string(line) + "\n", at),
              std::string::npos);
  }
}

TEST_F(ReportLoopTest, RoamingAtDevinfoReinitialisesTheModemWhenTheCycleCannotEnd) {
  mapping.session_count = 1;
  int creg = 5;
  modem.hook([&](const std::string& c) -> std::optional<std::string> {
    const std::string key = command_key(c);
    if (key == "AT+CEREG") return "\r\n+CEREG: 0," + std::to_string(creg) + "\r\n" + kOk;
    if (key == "AT+ESOCL") creg = 1;  // registered again after the restart
    return server(c);
  });
  start();
  const uint32_t first_start = st().period_start();
  loop->run_pass();
  EXPECT_EQ(failures(), std::pair(false, 0));

  // After the last frame: the socket closed, then a whole new bring-up; the
  // packet ID advances, the period keeps its start and no period is printed.
  ASSERT_TRUE(run_until([&] { return book.packet_id() == 1; }));
  std::vector<std::string> keys = command_keys();
  EXPECT_EQ(*(std::find(keys.rbegin(), keys.rend(), "AT+ESOSEND") - 1), "AT+ESOCL");
  EXPECT_EQ(keys.back(), "AT+ESOCON");
  EXPECT_EQ(failures(), std::pair(true, 0));
  EXPECT_EQ(st().period_start(), first_start);
  EXPECT_TRUE(time_periods(log()).empty());
}

// An ERROR answer to a publication and a lost session run the link repair:
// three reconnections, then a full bring-up.
TEST_F(ReportLoopTest, LinkRepairTwoFailedReconnectionsDoNotRestartThreeDo) {
  settings.transport = ReportTransport::kMqtt;
  int failing_new = 2;
  int publications_seen = 0;
  modem.hook([&](const std::string& c) -> std::optional<std::string> {
    const std::string key = command_key(c);
    if (key == "AT+EMQPUB" && publications_seen++ == 0) return kError;
    if (key == "AT+EMQNEW" && failing_new > 0) {
      --failing_new;
      return kError;
    }
    return std::nullopt;
  });
  start();
  ASSERT_TRUE(run_until([&] { return modem.count("AT+EMQPUB") == 2; }));
  std::vector<std::string> keys = command_keys();
  EXPECT_EQ(std::vector<std::string>(keys.end() - 7, keys.end()),
            (std::vector<std::string>{"AT+EMQNEW", "AT+EMQCON", "AT+EMQSUB",
                                      // the resent DEVINFO queries the modem again
                                      "AT+CEREG", "AT+CSQ", "AT*MENGINFO", "AT+EMQPUB"}));
  EXPECT_EQ(modem.count("AT+EMQDISCON"), 3);
  EXPECT_EQ(modem.count("AT+ZRST"), 0);

  // The broker drops the session while the loop holds; three failures.
  ASSERT_TRUE(run_until([&] { return in_hold(); }));
  failing_new = 3;
  const uint32_t before = pty.clock().ticks();
  modem.inject("\r\n+EMQDISCON: 0\r\n");
  ASSERT_TRUE(run_until([&] { return modem.count("AT+EMQSUB") == 2; }));
  EXPECT_EQ(modem.count("AT+EMQDISCON"), 6);
  EXPECT_EQ(modem.count("AT+ZRST"), 1);
  EXPECT_FALSE(link.take_session_lost());
  EXPECT_GE(pty.clock().ticks() - before, 2000u);  // a second after each of two failures
}

// Two commands during a hold: each acknowledgement is published (the single
// slot of old kept only the second).
TEST_F(ReportLoopTest, AcknowledgementsLeftDuringAHoldArePublishedInTurnWhenItEnds) {
  settings.transport = ReportTransport::kMqtt;
  start();
  ASSERT_TRUE(run_until([&] { return in_hold(); }));
  // A DO and an AO command arrive (values as they are): "DO_ACK", "AO_ACK".
  modem.inject(
      "\r\n+EMQPUB: 0,\"gw/cmd/3/DO\",1,0,0,4,\"30303030\"\r\n"
      "\r\n+EMQPUB: 0,\"gw/cmd/3/AO\",1,0,0,4,\"30303030\"\r\n");
  ASSERT_TRUE(run_until([&] { return book.acks().size() == 2; }));
  for (int i = 0; i < 50; ++i) loop->run_pass();
  EXPECT_TRUE(in_hold());
  EXPECT_EQ(modem.count("AT+EMQPUB"), 8);

  auto acks = [&] {
    auto all = modem.commands();
    std::erase_if(all,
                  [](const std::string& c) { return c.find("\"gw/ack\"") == std::string::npos; });
    return all;
  };
  ASSERT_TRUE(run_until([&] { return acks().size() == 2; }));
  EXPECT_EQ(acks(), (std::vector<std::string>{"AT+EMQPUB=0,\"gw/ack\",1,0,0,6,444F5F41434B\r\n",
                                              "AT+EMQPUB=0,\"gw/ack\",1,0,0,6,414F5F41434B\r\n"}));

  // An acknowledgement too long for the command line is dropped with a line.
  book.push_ack(std::string(700, 'A'));
  ASSERT_TRUE(run_until([&] {
    return log().find("[ERROR] Acknowledgement not published!!\n") != std::string::npos;
  }));
  EXPECT_EQ(acks().size(), 2u);
}

// A message ends after 3000 counted wait passes without a result; its answer,
// arriving late behind the next message's command, is dropped and not taken
// for that message's (which would be resent as refused).
TEST_F(ReportLoopTest, TheIdlePassLimitEndsAMessageAndItsLateAnswerIsDropped) {
  mapping.session_count = 1;
  server_silent = true;
  modem.hook([&](const std::string& c) -> std::optional<std::string> {
    const std::string type = type_of(frame_of(c));
    if (command_key(c) == "AT+ESOSEND" && type == "WDI") return std::string();  // no answer yet
    if (type == "RAO") modem.inject("\r\nERROR\r\n");  // WDI's, before RAO's echo
    return server(c);
  });
  start();
  ASSERT_TRUE(run_until(
      [&] { return st().message() == ReportStep::kWdi && st().phase() == ReportPhase::kAwait; }));
  const int32_t counted = st().idle_polls();
  int passes = 0;
  int32_t before = 0;
  while (st().phase() == ReportPhase::kAwait && passes < 5000) {
    before = st().idle_polls();
    loop->run_pass();
    ++passes;
  }
  EXPECT_EQ(before, 3000);
  EXPECT_EQ(st().idle_polls(), 1);
  EXPECT_EQ(passes, 3000 - counted + 1);
  EXPECT_NE(log().find("Receive timeout!! Still receive nothing!!\r\n"), std::string::npos);
  ASSERT_TRUE(run_until([&] { return book.packet_id() == 1; }));  // 60 s: no hold
  EXPECT_EQ(frame_types(),
            (std::vector<std::string>{"DEVINFO", "RDO", "WDI", "RAO", "WAI", "WGPS"}));
  EXPECT_EQ(failures(), std::pair(true, 0));
  EXPECT_NE(log().find("[ERROR] Result ERROR of an earlier command dropped!!\n"),
            std::string::npos);
  EXPECT_EQ(log().find("Send packet error!!"), std::string::npos);
}

TEST(CycleFailures, AnUnregisteredModemOrEveryStepGivenUpReinitialisesTheModem) {
  struct Row {
    bool registered;
    std::vector<ReportStep> given_up;
    bool reinitialise;
  } rows[] = {
      {true, {}, false},
      {false, {}, true},
      {true, {kSteps.begin(), kSteps.end() - 1}, false},
      {true, {kSteps.begin(), kSteps.end()}, true},
  };
  for (const Row& r : rows) {
    CycleFailures f;
    f.start(r.registered);
    for (ReportStep s : r.given_up) f.give_up(s);
    EXPECT_EQ(f.modem_to_reinitialise(), r.reinitialise) << r.given_up.size();
  }
}

}  // namespace
