// The AT exchange and the receive routine on a port in memory, with the
// virtual clock: the test plays the modem, so what it delivers after a
// command is begun is the modem's answer.
#include "modem/at_link.h"

#include <gtest/gtest.h>

#include <array>

#include "messaging/downlink_queue.h"
#include "messaging/downlink_reports.h"
#include "modem/at_commands.h"
#include "scripted_modem.h"
#include "serial/port_keeper.h"

namespace {

using namespace std::string_literals;

constexpr char kDropped[] = "of an earlier command dropped!!\n";

size_t count_of(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(needle, at)) != std::string::npos; ++at) ++n;
  return n;
}

class AtLink : public ::testing::Test {
 protected:
  void SetUp() override {
    // As start-up does: the decoders queue, the step after each report line
    // applies (here: collects, and marks the console).
    install_report_decoders(modem(), queue.decoders(false));
    modem().between_lines([this] {
      queue.apply({[this](char* frame) { frames.emplace_back(frame); },
                   [this](MqttDownlink r) { commands.push_back(r); }});
      console().line("<applied>");
    });
    modem().on_report(kUrcEmqdiscon, [this](std::string_view) { ++emqdiscon; });
  }

  AtChannel& modem() { return pty.at(); }
  // One receive call of the modem's exchange.
  AtResult poll() { return modem().poll(reply); }
  void begin(const char* command) {
    modem().begin(command);
    EXPECT_EQ(pty.port(modem_port).written(), command);
  }
  std::string text() const { return std::string(reply.lines()); }
  // The console so far.
  const std::string& log() { return log_ += capture.take(); }

  support::ScopedConsoleCapture capture;
  std::string log_;
  ModemRig pty;
  AtReply reply;
  DownlinkQueue queue;
  std::vector<std::string> frames;
  std::vector<MqttDownlink> commands;
  int emqdiscon = 0;  // lost-session reports handed to the installed handler
};

// --- each line is classified before it is paired ---------------------------

TEST(AtLines, ClassifiedEchoFirstThenReportResultInformation) {
  const std::array<const char*, 4> markers = {kUrcEsonmi, kUrcEmqpub, kUrcIp, kUrcEmqdiscon};
  struct Row {
    std::string line;
    LineKind kind;
    AtResult result = AtResult::kPending;
    size_t index = 0;
  };
  // In flight, newest first: AT+B, AT+A. Lines as captured from the modem.
  const std::array<std::string_view, 2> echoes = {"AT+B", "AT+A"};
  const Row rows[] = {
      {"AT+B\r\r\n", LineKind::kEcho},
      {"\xff"
       "AT+B\r\r\n",
       LineKind::kEcho},                               // a stray byte that lost its line end
      {"+IP: 1AT+B\r\r\n", LineKind::kReport, {}, 2},  // ... unless it holds a report
      {"AT+A\r\r\n", LineKind::kEcho, {}, 1},
      {"AT+EMQCON=0,4,\"c\",60,1,0,OK,ERROR\r\r\n", LineKind::kOtherEcho},
      {"\r\n+ESONMI=0,1,AA\r\n", LineKind::kReport},
      {"\r\n+EMQDISCON: 0\r\n", LineKind::kReport, {}, 3},
      {"\r\nOK\r\n", LineKind::kResult, AtResult::kOk},
      {"ERROR\r\n", LineKind::kResult, AtResult::kError},
      {"\r\n+CME ERROR: 50\r\n", LineKind::kResult, AtResult::kError},
      {"\r\n+EDNS:OK ERROR\r\n", LineKind::kInformation},
      {"\r\nOK \r\n", LineKind::kInformation},
  };
  for (const Row& r : rows) {
    const LineClass c = classify_line(r.line, echoes, markers);
    EXPECT_EQ(c.kind, r.kind) << r.line;
    EXPECT_EQ(c.result, r.result) << r.line;
    EXPECT_EQ(c.index, r.index) << r.line;
  }
  EXPECT_EQ(classify_line("AT+A\r\r\n", std::span(echoes).first(1), markers).kind,
            LineKind::kOtherEcho);
}

// --- an answer ends at its result line, and only there ----------------------

struct AnswerCase {
  const char* name;
  std::string command;  // without its CR LF
  const char* answer;   // what the modem sends after the echo
  AtResult result;
  bool echo = true;
};

class Answers : public AtLink, public testing::WithParamInterface<AnswerCase> {};

// Whole, or a few bytes per read with a read that fails with EAGAIN.
TEST_P(Answers, EndAtTheResultLineWithTheAnswerWhole) {
  const AnswerCase& c = GetParam();
  for (const size_t split : {0, 1, 3}) {
    pty.port(modem_port).split(split);
    pty.port(modem_port).fail_reads(split == 0 ? 0 : 2);
    begin((c.command + "\r\n").c_str());
    const std::string whole = (c.echo ? c.command + "\r" : "") + c.answer;
    pty.send(modem_port, whole);
    AtResult result = AtResult::kPending;  // a failed read: nothing waited, yet
    for (int i = 0; i < 3 && result == AtResult::kPending; ++i) result = poll();
    EXPECT_EQ(result, c.result) << split;
    EXPECT_EQ(text(), whole);
    EXPECT_NE(log().find("Recv:\r\n" + whole + "-----\r\n\r\n"), std::string::npos);
    EXPECT_FALSE(modem().awaiting());
    EXPECT_EQ(emqdiscon, 0);
  }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(AtLink, Answers, testing::Values(
    AnswerCase{"Ok", "AT+CSQ", "\r\n+CSQ: 23,99\r\n\r\nOK\r\n", AtResult::kOk},
    AnswerCase{"Error", "AT+EDNS=\"x\"", "\r\n\r\nERROR\r\n", AtResult::kError},
    AnswerCase{"CmeError", "AT+ESOCON=1", "\r\n+CME ERROR: 50\r\n", AtResult::kError, false},
    AnswerCase{"EchoHoldingOkAndError", "AT+EMQCON=0,4,\"c\",60,1,0,OK,ERROR", "\r\n\r\nOK\r\n",
               AtResult::kOk},
    AnswerCase{"EchoOfTopicOk", "AT+EMQSUB=0,\"OK\",1", "\r\n\r\nERROR\r\n", AtResult::kError},
    AnswerCase{"InformationHoldingTheWords", "AT+EDNS=\"h\"", "\r\n+EDNS:OK ERROR\r\n\r\nOK\r\n",
               AtResult::kOk},
    AnswerCase{"EchoOff", "AT+ESOC=1,2,1", "\r\n+ESOC=1\r\n\r\nOK\r\n", AtResult::kOk, false}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// --- every answer belongs to the command just sent -------------------------

// What the modem sends for AT+A before its wait ends (nothing: the report loop
// gives up on it), after that before AT+B is written, and after it; what comes
// after AT+B's result, before AT+C; and how many "dropped" lines that makes.
// AT+B's answer is what "after" holds from AT+B's echo on (line noise left
// out), every report goes to its handler.
struct PairingCase {
  const char *name, *first, *before;
  std::string after;
  const char* late = "";
  size_t dropped = 1;
};

class Pairing : public AtLink, public testing::WithParamInterface<PairingCase> {};

TEST_P(Pairing, ALateResultIsDroppedAndTheNextAnswerIsItsCommands) {
  const PairingCase& c = GetParam();
  const std::string& after = c.after;
  const size_t echo = after.find("AT+B");  // none with the echo off
  std::string answer = echo == std::string::npos ? after : after.substr(echo);
  std::erase(answer, '\0');
  begin("AT+A\r\n");
  if (*c.first != '\0') {
    pty.send(modem_port, c.first);
    EXPECT_EQ(poll(), AtResult::kTimeout);  // 60 s without a result
  } else {
    modem().give_up();  // the report loop's idle-pass limit
  }
  EXPECT_EQ(modem().in_flight_for_test(), "AT+A:given-up");
  if (*c.before != '\0') pty.send(modem_port, c.before);
  begin("AT+B\r\n");
  // What came before settles AT+A.
  EXPECT_EQ(modem().in_flight_for_test(),
            *c.before != '\0' ? "AT+B:awaited" : "AT+A:given-up AT+B:awaited");
  pty.send(modem_port, after);
  EXPECT_EQ(poll(), answer.ends_with("ERROR\r\n") ? AtResult::kError : AtResult::kOk);
  EXPECT_EQ(text(), answer);
  EXPECT_EQ(emqdiscon, count_of(c.before + after, "+EMQDISCON"));

  // The next exchange is paired as well.
  if (*c.late != '\0') pty.send(modem_port, c.late);
  begin("AT+C\r\n");
  pty.send(modem_port, "AT+C\r\r\n+C: 3\r\n\r\nOK\r\n");
  EXPECT_EQ(poll(), AtResult::kOk);
  EXPECT_EQ(text(), "AT+C\r\r\n+C: 3\r\n\r\nOK\r\n");
  EXPECT_EQ(count_of(log(), kDropped), c.dropped) << log();
  EXPECT_EQ(modem().in_flight_for_test(), "AT+C:answered");
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(AtLink, Pairing, testing::Values(
    PairingCase{"BeforeTheNextCommand", "AT+A\r\r\n", "\r\n+A: 1\r\n\r\nOK\r\n",
                "AT+B\r\r\n+B: 2\r\n\r\nERROR\r\n"},
    PairingCase{"AfterTheNextCommand", "AT+A\r\r\n", "",
                "\r\n+A: 1\r\n\r\nERROR\r\nAT+B\r\r\n\r\nOK\r\n"},
    PairingCase{"GivenUpBeforeItsEcho", "", "", "AT+A\r\r\n\r\nOK\r\nAT+B\r\r\n\r\nERROR\r\n"},
    PairingCase{"AReportBetweenTheLateResultAndTheAnswer", "AT+A\r\r\n", "",
                "\r\nOK\r\n\r\n+EMQDISCON: 0\r\nAT+B\r\r\n\r\nOK\r\n"},
    PairingCase{"AReportBeforeTheNextCommand", "AT+A\r\r\n", "\r\n+EMQDISCON: 0\r\n\r\nOK\r\n",
                "AT+B\r\r\n\r\nOK\r\n"},
    // Echo off: a time-out without an echo teaches it, and the next
    // command's result is taken, not dropped as a late one.
    PairingCase{"EchoOff", "\r\n+A: 1\r\n", "", "\r\n+B: 2\r\n\r\nOK\r\n", "", 0},
    // ... and when the echo comes back, the result AT+B took before it
    // was AT+A's: AT+B's own is dropped.
    PairingCase{"EchoBackAfterAResultTakenEarly", "\r\n+A: 1\r\n", "", "\r\nOK\r\n",
                "AT+B\r\r\n\r\nERROR\r\n"},
    // Line noise: a stray byte without a line end joins the echo, which is
    // still the echo; a NUL in front of a result is dropped.
    PairingCase{"AStrayByteBeforeTheEcho", "AT+A\r\r\n", "", "\xff" "AT+B\r\r\n\r\nOK\r\n", "", 0},
    PairingCase{"ANulBeforeTheResult", "AT+A\r\r\n", "",
                "AT+B\r\r\n\r\n+B: 2\r\n\r\n\0OK\r\n"s, "", 0}),
    [](const auto& info) { return std::string(info.param.name); });
// clang-format on

// The report loop publishes an acknowledgement while a message waits: the
// first result is the message's, kept for it; the next is the publication's.
// The late result of a command given up before them is neither's.
TEST_F(AtLink, ACommandBegunWhileAnotherIsAwaited) {
  for (const bool late : {false, true}) {
    if (late) {
      begin("AT+X\r\n");
      modem().give_up();
    }
    begin("AT+A\r\n");
    if (!late) pty.send(modem_port, "AT+A\r\r\n");
    begin("AT+B\r\n");
    pty.send(modem_port,
             std::string(late ? "\r\nOK\r\nAT+A\r\r\n" : "") + "\r\nERROR\r\nAT+B\r\r\n\r\nOK\r\n");
    EXPECT_EQ(poll(), AtResult::kOk) << late;
    EXPECT_EQ(text(), "AT+B\r\r\n\r\nOK\r\n");
    EXPECT_EQ(poll(), AtResult::kError);
    EXPECT_FALSE(modem().awaiting());
    EXPECT_EQ(count_of(log(), kDropped), late ? 1u : 0u);
  }
}

TEST_F(AtLink, AResultLineAlwaysFitsEarlierLinesGiveWay) {
  const std::string command = "AT+EMQPUB=0,\"t\",1,0,0,300," + std::string(600, '3') + "\r\n";
  const std::string echo = command.substr(0, command.size() - 1) + "\r\n";
  const std::string info = "\r\n+INFO: " + std::string(380, 'i') + "\r\n";
  begin(command.c_str());
  pty.send(modem_port, echo + info + "\r\nOK\r\n");
  EXPECT_EQ(poll(), AtResult::kOk);
  EXPECT_EQ(text(), info + "\r\nOK\r\n");
  EXPECT_NE(log().find("[ERROR] Response longer than 1023 characters, earlier lines dropped!!"),
            std::string::npos);

  // An information line that does not fit is dropped instead.
  begin(command.c_str());
  pty.send(modem_port, echo + info + "\r\n+MORE: 1\r\n\r\nOK\r\n");
  EXPECT_EQ(poll(), AtResult::kOk);
  EXPECT_NE(log().find("[ERROR] Response longer than 1023 characters, line dropped!!"),
            std::string::npos);
}

// --- reports ----------------------------------------------------------------

TEST_F(AtLink, ReportsDuringACommandAreActedOnAndLeftOut) {
  begin("AT+CSQ\r\n");
  pty.send(modem_port, "AT+CSQ\r\r\n\r\n+EMQDISCON: 0\r\n\r\n+IP: 10.0.0.2\r\n" +
                           esonmi_report("AE,RDO,1,EA") +
                           "+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,3,\"312C30\"\r\n\r\nOK\r\n");
  EXPECT_EQ(poll(), AtResult::kOk);
  EXPECT_EQ(text(), "AT+CSQ\r\r\n\r\nOK\r\n");
  EXPECT_EQ(emqdiscon, 1);
  EXPECT_EQ(frames.size() + commands.size(), 2u);  // handed on as decoded by the dispatch tests
  EXPECT_NE(log().find("Receive IP message!!\n\r\n+IP: 10.0.0.2\r\n"), std::string::npos);
  EXPECT_EQ(count_of(log(), "Receive EMQDISCON message!!\n\r\n+EMQDISCON: 0\r\n"), 1u);
  // Each applied right after its line, before the call's answer is logged.
  EXPECT_NE(log().find("DEAL WITH MESSAGE --->\r\n<applied>\n"), std::string::npos);
  EXPECT_LT(log().rfind("<applied>"), log().find("Recv:"));
  EXPECT_EQ(queue.size(), 0u);
}

TEST(DownlinkQueueing, AppliedOldestFirstAndRefusedWithALineWhenFull) {
  support::ScopedConsoleCapture capture;
  DownlinkQueue queue;
  char frame[16] = "AE,RDO,1";
  MqttDownlink command{};
  copy_text(command.type, sizeof command.type, "DO");
  EXPECT_TRUE(queue.push_udp(frame));
  frame[0] = 'X';  // the decoder's buffer is used again: the queue holds a copy
  EXPECT_TRUE(queue.push_mqtt(command));
  for (size_t i = queue.size(); i < DownlinkQueue::kCapacity; ++i)
    EXPECT_TRUE(queue.push_udp(frame));
  EXPECT_FALSE(queue.push_mqtt(command));
  EXPECT_EQ(capture.take(), "[ERROR] MQTT command refused: 8 downlink commands waiting!!\n");
  std::string order;
  queue.apply({[&](char* f) { order += std::string(f, 2) + " "; },
               [&](MqttDownlink r) { order += std::string(r.type) + " "; }});
  EXPECT_EQ(order, "AE DO XE XE XE XE XE XE ");
  EXPECT_EQ(queue.size(), 0u);
}

TEST_F(AtLink, WhileNothingIsAwaitedEachLineEndsACallAndTheRestWaits) {
  EXPECT_FALSE(modem().receive(reply));
  // A report, a publication, an unusable datagram and a late result in one read.
  pty.send(modem_port, esonmi_report("AE,RAO,2,EA") +
                           "+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,3,\"312C30\"\r\n"
                           "+ESONMI=0,16,4142\r\n\r\nOK\r\n");
  for (const char* collected : {"", "+EMQPUB: 0,", "", ""}) {
    EXPECT_TRUE(modem().receive(reply));
    EXPECT_EQ(text(), collected);  // a publication: the text before the topic
  }
  EXPECT_FALSE(modem().receive(reply));
  EXPECT_NE(log().find("[ERROR] +ESONMI= message dropped: fewer hex digits"), std::string::npos);
  EXPECT_NE(log().find("[ERROR] Result OK of an earlier command dropped!!\n"), std::string::npos);
  EXPECT_EQ(frames.size() + commands.size(), 2u);
}

// --- time limits ------------------------------------------------------------

TEST_F(AtLink, TimeLimitsAreStrictAndPerPort) {
  // A few characters and nothing more: passed only when more than 60000 ms.
  begin("AT+CSQ\r\n");
  pty.send(modem_port, "AT+C");
  uint32_t t0 = pty.clock().ticks();
  EXPECT_EQ(poll(), AtResult::kTimeout);
  EXPECT_EQ(pty.clock().ticks() - t0, 60010u);
  EXPECT_NE(log().find("Receiving message timeout!!\nRecv:\r\n-----\r\n\r\n"), std::string::npos);

  // A modem silent from the start: bounded the same way, 10 s while it restarts.
  for (uint32_t limit : {60010u, 10010u}) {
    const AtWait wait = limit == 10010u ? AtWait::kRestart : AtWait::kAnswer;
    t0 = pty.clock().ticks();
    EXPECT_EQ(modem().exchange("AT+ZRST\r\n", wait).result, AtResult::kTimeout);
    EXPECT_EQ(pty.clock().ticks() - t0, limit);
  }
  EXPECT_NE(log().find("Wait AT+ZRST for 10 secs.\n"), std::string::npos);
}

// A port that hangs up is reopened by its keeper after its wait; the modem
// there owes nothing, and a command written before it came back is not
// answered; nor is one the port wrote only in part.
TEST_F(AtLink, AHungUpPortComesBackAndWhatWasAwaitedIsForgotten) {
  MemoryStream port(modem_port);
  PortKeeper keeper(port, "Modem");
  ASSERT_EQ(keeper.open({9600, 8, Parity::kNone, 1}), 0);
  AtChannel at(keeper);
  at.begin("AT+A\r\n");
  port.deliver("AT+A\r\r\n\r\n+A: 1\r\n");
  port.hang_up();
  // What came before the hang-up is read; the call ends when the port is back.
  EXPECT_EQ(at.poll(reply), AtResult::kPending);
  EXPECT_FALSE(at.awaiting());
  EXPECT_NE(log().find("Modem port /dev/ttyUSB0 lost (hang-up), reopening!!\n"
                       "Modem port /dev/ttyUSB0 back\n"),
            std::string::npos);
  EXPECT_TRUE(at.take_port_return());
  EXPECT_FALSE(at.take_port_return());
  port.short_write();
  EXPECT_EQ(at.exchange("AT+B\r\n").result, AtResult::kTimeout);
  EXPECT_EQ(port.written(), "AT+A\r\nAT+");
  // A port lost during an exchange ends it at once, not at the time-out.
  port.responder = [&](const std::string&) { port.hang_up(); };
  const uint32_t t0 = pty.clock().ticks();
  EXPECT_EQ(at.exchange("AT+C\r\n").result, AtResult::kTimeout);
  EXPECT_LT(pty.clock().ticks() - t0, 60000u);
}

}  // namespace
