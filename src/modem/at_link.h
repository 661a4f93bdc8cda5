// The AT command exchange with the modem and the receive routine. This is the
// only reader of the modem's port and the only writer of AT commands to it.
//
// Receive state is kept by the port's owner (app/ builds the modem's channel):
// bytes read from the device that follow the line which ended a call wait for
// the next call. One user thread.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "common/heartbeat.h"
#include "modem/in_flight.h"
#include "modem/line_assembler.h"
#include "modem/rx_queue.h"
#include "serial/byte_stream.h"
#include "serial/port_keeper.h"

// The bytes of one port on their way to lines: taken from the device into a
// bounded queue, then fed to a line assembler byte by byte. Bytes behind the
// line that ended a call wait in the queue for the next one. With a keeper,
// the port is made ready before each pull, and what was queued from a device
// that has since been replaced is dropped.
class PortLines {
 public:
  enum class Fed : uint8_t {
    kLine,     // a line is complete in the assembler
    kSkipped,  // the LF that ends an overlong line (dropped, with a line)
    kEmpty,    // the queue ran dry first; a partial line stays in the assembler
  };

  explicit PortLines(ByteStream& port, PortKeeper* keeper = nullptr)
      : port_(port), keeper_(keeper) {}
  // Moves every byte waiting on the device into the queue. True when the port
  // has come back since the last pull (the queue was emptied).
  bool pull();
  // Feeds queued bytes to line up to and including the next LF.
  Fed feed(LineAssembler& line);
  bool empty() const { return queue_.empty(); }
  bool holds_line() const { return queue_.holds('\n'); }
  void clear() { queue_.clear(); }
  ByteStream& port() const { return port_; }

 private:
  ByteStream& port_;
  PortKeeper* keeper_;
  uint32_t returns_seen_ = 0;
  RxQueue queue_;
};

// What a received line is to the pairing of answers with commands, looked at
// in this order: the echo of a command in flight (its text, possibly behind
// stray bytes that hold no report; `index` is which), the echo of any other
// command (a line that begins with "AT"), a report (the line holds one of the
// markers; `index` is which), a result line, else an information line.
enum class LineKind : uint8_t { kEcho, kOtherEcho, kReport, kResult, kInformation };
struct LineClass {
  LineKind kind = LineKind::kInformation;
  AtResult result = AtResult::kPending;  // kResult: which
  size_t index = 0;
};
// `text` is the line as received; `echoes` are those of the commands in
// flight (without their line ends), the first that matches wins.
LineClass classify_line(std::string_view text, std::span<const std::string_view> echoes,
                        std::span<const char* const> markers);

// How long an exchange waits: the receive time-out, or 10 s while the modem
// restarts (AT+ZRST, which it may not answer).
enum class AtWait : uint8_t { kAnswer, kRestart };

// What a report's installed handler is given: the whole line (its text is
// NUL-terminated behind the view).
using ReportHandler = std::function<void(std::string_view line)>;

// What one receive call collected for the awaited command (its echo,
// information lines and result line, as the modem sent them) and the result.
struct AtReply {
  std::array<char, kResponseSize> text{};  // NUL-terminated, at most 1023 characters
  AtResult result = AtResult::kPending;

  std::string_view lines() const;
};

// The AT exchange on one port: a command in, the answer that belongs to it
// out. Each command written is an entry in flight (modem/in_flight.h), paired
// with the results as they come; a result owed to a command whose wait ended
// without one (by time-out or because its caller gave up) is dropped with a
// console line. Unsolicited reports are acted on wherever they arrive.
class AtChannel {
 public:
  explicit AtChannel(ByteStream& port);
  // The same on a port that the keeper reopens when it is lost. A command
  // written before the port came back is not answered: its exchange ends at
  // once as timed out, and the channel forgets what it awaited.
  explicit AtChannel(PortKeeper& keeper);

  // Sends the command and waits for its result, or for the receive time-out
  // (a modem that stays silent is waited for as long as a started answer).
  AtReply exchange(const char* command, AtWait wait = AtWait::kAnswer);
  // The same for a command that carries a secret: the console shows `shown`
  // in its place, in the Send line and in the answer's echo of it.
  AtReply exchange_shown_as(const char* command, const char* shown);

  // Takes in what earlier commands left waiting, writes the command (logged
  // "Send: ...") and awaits its answer; poll() then collects it.
  void begin(const char* command);

  // Marked at every command written: an exchange is a bounded wait, so a
  // thread that goes on exchanging is alive (the service watchdog's sign).
  void set_beat(Beat* beat) { beat_ = beat; }
  // One receive call (returns at once when nothing waits): reports are acted
  // on; the awaited answer is collected up to its result or the time-out.
  // Answers the reply's result (kPending while none has arrived), or
  // kTimeout when the call ended at its time-out, awaited or not.
  AtResult poll(AtReply& reply);
  // The caller stops waiting for the awaited answer; its result, when it
  // comes, is dropped.
  void give_up();

  // Awaits the answer to a command that has been written to the port
  // already (fuzz targets and benches that play both sides).
  void await_answer_to_for_test(const char* command);
  // Forgets the awaited command and what is known about earlier ones.
  void reset();
  // The same, and the bytes kept for the next receive call are dropped.
  void reset_all_for_test();

  bool awaiting() const { return in_flight_.collecting() != nullptr; }
  // The commands in flight, oldest first (InFlightQueue::summary).
  std::string in_flight_for_test() const { return in_flight_.summary(); }
  // Results taken so far (OK or ERROR, whatever command they answered).
  uint32_t answers() const { return answers_; }

  // The modem port came back (the modem there knows nothing of the link)
  // and the owner has not taken it yet.
  bool port_returned() const { return returns_ != returns_taken_; }
  // Takes it: true once per return; what was awaited is forgotten.
  bool take_port_return();
  // The modem answered nothing for so long that its port is reopened (a
  // keeper's port only).
  void port_unanswered();

  // The reports the modem sends unasked, looked for in this order: kUrcEsonmi,
  // kUrcEmqpub, kUrcIp, kUrcEmqdiscon (a line holding the marker is the
  // report). The channel knows their prefixes, not their meaning: it logs the
  // link's own (kUrcIp, kUrcEmqdiscon) and hands each whole line to the
  // handler installed for it (received data: messaging's decoders, installed
  // at start-up). An empty handler uninstalls.
  void on_report(const char* marker, ReportHandler handler);
  // The main loop's step after each report line, before the next line is
  // read (start-up: apply the downlink commands the handlers queued).
  void between_lines(std::function<void()> step) { between_lines_ = std::move(step); }
  // Pauses the main loop up to micros, waking early when the modem sends.
  void pause(uint64_t micros) { lines_.port().wait(micros); }

  // One receive call: false when nothing waited, else true when the call
  // has reached one of its ends (*timed_out, when given: its time-out).
  bool receive(AtReply& reply, bool* timed_out = nullptr);

 private:
  enum class Outcome { kGoOn, kEnd };
  struct Report {
    const char* marker;
    ReportHandler handler;
  };
  enum class Mode { kCall, kIntake };
  class Collected;

  AtChannel(ByteStream& port, PortKeeper* keeper);

  void intake();
  bool pull();
  Outcome on_line(LineAssembler& line, Collected& out, Mode mode, AtResult& taken);
  void finish(AtResult result);

  PortLines lines_;  // the modem's port and what it has sent
  PortKeeper* keeper_;
  uint32_t returns_ = 0;  // the port came back so often
  uint32_t returns_taken_ = 0;
  uint32_t answers_ = 0;
  // The commands written whose answers are still to be paired. A command
  // begun while another is awaited (the report loop publishes an
  // acknowledgement or repairs the link while a message waits) is a second
  // awaited entry behind it.
  InFlightQueue in_flight_;
  bool restarting_ = false;  // an AT+ZRST exchange: the 10 s limit
  std::array<Report, 4> reports_;
  std::function<void()> between_lines_;
  // During exchange_shown_as: the command's line and what the console shows.
  std::string secret_line_, shown_line_;
  // Prints "Recv:" with the answer, the secret line shown as it may be.
  void log_answer(const char* text) const;
  Beat* beat_ = nullptr;
};

// Prints "Send: %s" with the command (which ends in CR LF) and writes it to
// the port. Answers the write's count or a negative code.
int send_str(ByteStream& port, const char* command);
