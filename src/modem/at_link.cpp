#include "modem/at_link.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "config/fixed_settings.h"
#include "modem/at_commands.h"
#include "modem/line_assembler.h"
#include "modem/modem_texts.h"
#include "modem/rx_queue.h"

namespace {

// Pause between two passes of the receive loop.
constexpr uint64_t kPassUs = 10000;
constexpr uint32_t kZrstLimitMs = 10000;

}  // namespace

bool PortLines::pull() {
  bool came_back = false;
  if (keeper_ != nullptr) {
    if (!keeper_->ready()) return false;
    if (keeper_->returns() != returns_seen_) {
      returns_seen_ = keeper_->returns();
      queue_.clear();
      came_back = true;
    }
  }
  std::array<uint8_t, 1024> chunk;
  for (int waiting = port_.waiting(); waiting > 0;) {
    int want = std::min(waiting, static_cast<int>(chunk.size()));
    int got = port_.read(chunk.data(), want);
    if (got <= 0) break;
    size_t dropped = queue_.push(chunk.data(), static_cast<size_t>(got));
    if (dropped > 0)
      console().print(kTxtRxQueueFull, static_cast<unsigned>(port_.number()), dropped);
    waiting -= got;
  }
  return came_back;
}

PortLines::Fed PortLines::feed(LineAssembler& line) {
  uint8_t byte = 0;
  while (queue_.pop(byte)) {
    LineAssembler::Event ev = line.feed(byte);
    if (ev == LineAssembler::Event::kOverflow) {
      console().write(kTxtLineTooLong);
    } else if (ev == LineAssembler::Event::kLine) {
      return Fed::kLine;
    }
    if (byte == '\n') return Fed::kSkipped;
  }
  return Fed::kEmpty;
}

namespace {

uint32_t limit_ms(bool restarting) {
  return restarting ? kZrstLimitMs : static_cast<uint32_t>(recv_timeout) * 1000U;
}

void report_timeout(bool restarting, bool* timed_out) {
  if (timed_out != nullptr) *timed_out = true;
  console().line(restarting ? kTxtZrstTimeoutLine : kTxtRecvTimeoutLine);
}

bool is_line_end(char c) {
  return c == '\r' || c == '\n';
}

// The line without the CR and LF bytes around it.
std::string_view trim_line_end(std::string_view text) {
  while (!text.empty() && is_line_end(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_line_end(text.back())) text.remove_suffix(1);
  return text;
}

// The result a (trimmed) line stands for; kPending when it is no result line.
AtResult result_of(std::string_view trimmed) {
  if (trimmed == kResultOk) return AtResult::kOk;
  if (trimmed == kResultError || trimmed.starts_with(kResultCmeError)) return AtResult::kError;
  return AtResult::kPending;
}

// The modem sends no report that begins so: a line that does is the echo of a
// command.
bool is_echo(std::string_view trimmed) {
  return trimmed.starts_with("AT");
}

// The line is the echo of a command: its text, or its text behind stray bytes
// that lost their line end (line noise, the cut end of an earlier answer),
// when those hold no report.
bool is_echo_of(std::string_view trimmed, std::string_view echo,
                std::span<const char* const> markers) {
  if (echo.empty() || !trimmed.ends_with(echo)) return false;
  const std::string_view stray = trimmed.substr(0, trimmed.size() - echo.size());
  return std::none_of(markers.begin(), markers.end(),
                      [&](const char* m) { return contains(stray, m); });
}

// The link's own reports are logged here; received data is its handlers'.
void log_report(const char* marker, const LineAssembler& line) {
  if (marker == kUrcIp) {
    console().print(kTxtIp, line.c_str());
  } else if (marker == kUrcEmqdiscon) {
    console().print(kTxtEmqdiscon, line.c_str());
  }
}

}  // namespace

LineClass classify_line(std::string_view text, std::span<const std::string_view> echoes,
                        std::span<const char* const> markers) {
  const std::string_view trimmed = trim_line_end(text);
  for (size_t i = 0; i < echoes.size(); ++i) {
    if (is_echo_of(trimmed, echoes[i], markers)) return {LineKind::kEcho, AtResult::kPending, i};
  }
  if (is_echo(trimmed)) return {LineKind::kOtherEcho};
  for (size_t i = 0; i < markers.size(); ++i) {
    if (contains(text, markers[i])) return {LineKind::kReport, AtResult::kPending, i};
  }
  const AtResult result = result_of(trimmed);
  return {result == AtResult::kPending ? LineKind::kInformation : LineKind::kResult, result};
}

std::string_view AtReply::lines() const {
  return c_text(text.data(), text.size());
}

// The reply's text: whole lines, never past 1023 characters. An information
// line that does not fit is dropped; a result line always fits, earlier lines
// giving way to it.
class AtChannel::Collected {
 public:
  explicit Collected(char* buf) : buf_(buf) {}

  void append(std::string_view text) {
    if (buf_ == nullptr) return;
    if (used_ + text.size() >= static_cast<size_t>(kResponseSize)) {
      console().write(kTxtResponseFull);
      return;
    }
    put(text);
  }

  void append_result(std::string_view text) {
    if (buf_ == nullptr) return;
    const size_t room = static_cast<size_t>(kResponseSize) - 1;
    if (used_ + text.size() > room) {
      // Drop the fewest whole lines from the front that make room.
      std::string_view held(buf_, used_);
      const size_t need = used_ + text.size() - room;
      size_t cut = held.find('\n', need - 1);
      cut = cut == std::string_view::npos ? used_ : cut + 1;
      std::memmove(buf_, buf_ + cut, used_ - cut);
      used_ -= cut;
      buf_[used_] = '\0';
      console().write(kTxtResponseTrimmed);
    }
    put(text.substr(0, room - used_));
  }

  const char* c_str() const { return buf_ == nullptr ? "" : buf_; }

 private:
  void put(std::string_view text) {
    std::memcpy(buf_ + used_, text.data(), text.size());
    used_ += text.size();
    buf_[used_] = '\0';
  }

  char* buf_;  // null: nothing is kept (the intake before a command)
  size_t used_ = 0;
};

AtChannel::AtChannel(ByteStream& port, PortKeeper* keeper)
    : lines_(port, keeper),
      keeper_(keeper),
      reports_{{{kUrcEsonmi, {}}, {kUrcEmqpub, {}}, {kUrcIp, {}}, {kUrcEmqdiscon, {}}}} {}

AtChannel::AtChannel(ByteStream& port) : AtChannel(port, nullptr) {}

AtChannel::AtChannel(PortKeeper& keeper) : AtChannel(keeper.port(), &keeper) {}

// Takes in what the port holds; a port that came back holds a modem that
// owes nothing and awaits nothing.
bool AtChannel::pull() {
  if (!lines_.pull()) return false;
  reset();
  ++returns_;
  return true;
}

bool AtChannel::take_port_return() {
  if (!port_returned()) return false;
  returns_taken_ = returns_;
  reset();
  return true;
}

void AtChannel::port_unanswered() {
  if (keeper_ != nullptr) keeper_->lose(kTxtNoAnswer);
}

void AtChannel::on_report(const char* marker, ReportHandler handler) {
  for (Report& r : reports_) {
    if (std::string_view(r.marker) == marker) {
      r.handler = std::move(handler);
      return;
    }
  }
}

AtReply AtChannel::exchange(const char* command, AtWait wait) {
  restarting_ = wait == AtWait::kRestart;
  begin(command);
  AtReply reply;
  const uint32_t sent = GetTimeTicks();
  const uint32_t written_to = returns_;
  // While a command is awaited, a call that finds bytes ends only at its
  // result or at the time-out.
  while (!receive(reply)) {
    if (ticks_elapsed(GetTimeTicks(), sent) > limit_ms(restarting_)) {
      report_timeout(restarting_, nullptr);
      log_answer(reply.text.data());
      finish(AtResult::kTimeout);
      reply.result = AtResult::kTimeout;
      restarting_ = false;
      return reply;
    }
    lines_.port().wait(kPassUs);
  }
  restarting_ = false;
  // The command went to a device that is gone.
  if (returns_ != written_to) reply.result = AtResult::kTimeout;
  return reply;
}

void AtChannel::begin(const char* command) {
  if (beat_ != nullptr) beat_->mark();
  intake();
  if (secret_line_.empty()) {
    send_str(lines_.port(), command);
  } else {
    console().print(kTxtSend, (shown_line_ + kAtLineEnd).c_str());
    lines_.port().write(command, static_cast<int>(std::strlen(command)));
  }
  await_answer_to_for_test(command);
}

AtReply AtChannel::exchange_shown_as(const char* command, const char* shown) {
  std::string_view line(command);
  if (line.ends_with(kAtLineEnd)) line.remove_suffix(std::strlen(kAtLineEnd));
  secret_line_ = line;
  shown_line_ = shown;
  if (std::string_view(shown_line_).ends_with(kAtLineEnd)) {
    shown_line_.resize(shown_line_.size() - std::strlen(kAtLineEnd));
  }
  AtReply reply = exchange(command);
  secret_line_.clear();
  shown_line_.clear();
  return reply;
}

void AtChannel::log_answer(const char* text) const {
  if (secret_line_.empty()) {
    console().print(kTxtRecv, text);
    return;
  }
  std::string shown(text);
  for (size_t at = 0; (at = shown.find(secret_line_, at)) != std::string::npos;) {
    shown.replace(at, secret_line_.size(), shown_line_);
    at += shown_line_.size();
  }
  console().print(kTxtRecv, shown.c_str());
}

AtResult AtChannel::poll(AtReply& reply) {
  bool timed_out = false;
  receive(reply, &timed_out);
  return timed_out ? AtResult::kTimeout : reply.result;
}

void AtChannel::give_up() {
  in_flight_.give_up();
}

void AtChannel::await_answer_to_for_test(const char* command) {
  in_flight_.push(trim_line_end(c_text(command, kResponseSize - 1)));
}

void AtChannel::reset() {
  in_flight_.clear();
}

void AtChannel::reset_all_for_test() {
  lines_.clear();
  reset();
}

void AtChannel::finish(AtResult result) {
  if (result != AtResult::kTimeout) ++answers_;
  in_flight_.finish(result);
}

// Before a command is written: every complete line waiting is taken in.
// Reports are acted on; results belong to no awaited command and are dropped;
// the rest of earlier answers is passed over.
void AtChannel::intake() {
  pull();
  LineAssembler line;
  Collected nowhere(nullptr);
  // Line by line while a whole one waits; a partial line stays queued.
  while (lines_.holds_line()) {
    if (lines_.feed(line) == PortLines::Fed::kLine) {
      AtResult none = AtResult::kPending;
      on_line(line, nowhere, Mode::kIntake, none);
    }
  }
}

// One complete line. A line of two bytes or fewer (the "\r\n" the modem sends
// ahead of each answer line) stays, and the next line is received behind it.
// Echoes come first, so that the echo of a command is never taken for a
// report; then reports; then results; the rest are information lines.
AtChannel::Outcome AtChannel::on_line(LineAssembler& line, Collected& out, Mode mode,
                                      AtResult& taken) {
  if (line.size() <= 2) return Outcome::kGoOn;
  const std::string_view text = line.text();
  const std::string_view trimmed = trim_line_end(text);
  // Outside an awaited answer (and outside the intake) a call ends at the
  // first line it has taken in.
  const Outcome done = awaiting() || mode == Mode::kIntake ? Outcome::kGoOn : Outcome::kEnd;

  std::array<const char*, 4> markers{};
  std::transform(reports_.begin(), reports_.end(), markers.begin(),
                 [](const Report& r) { return r.marker; });
  const InFlightQueue::Order order = in_flight_.echo_order();
  std::array<std::string_view, InFlightQueue::kCapacity> echoes{};
  const size_t n = in_flight_.size();
  for (size_t i = 0; i < n; ++i) echoes[i] = in_flight_[order[i]].echo();
  const LineClass what = classify_line(text, std::span(echoes.data(), n), markers);

  if (what.kind == LineKind::kEcho || what.kind == LineKind::kOtherEcho) {
    in_flight_.echo_seen();
    if (what.kind == LineKind::kEcho && in_flight_.echo_of(order[what.index])) {
      // Without the stray bytes in front of it.
      const size_t len = echoes[what.index].size();
      out.append(trimmed.size() == len
                     ? text
                     : text.substr(static_cast<size_t>(trimmed.data() - text.data()) +
                                   trimmed.size() - len));
    }
    line.clear();
    return done;
  }

  if (what.kind == LineKind::kReport) {
    const Report& report = reports_[what.index];
    log_report(report.marker, line);
    if (report.handler) report.handler(line.text());
    // Only the text before the topic goes into the reply.
    if (report.marker == kUrcEmqpub && done == Outcome::kEnd) out.append(cut_at(text, "\""));
    line.clear();
    if (between_lines_) between_lines_();
    return done;
  }

  if (what.kind == LineKind::kResult) {
    const InFlightQueue::Verdict verdict =
        in_flight_.on_result(what.result, text, mode == Mode::kCall);
    if (verdict == InFlightQueue::Verdict::kCollect) {
      out.append_result(text);
      finish(what.result);
      taken = what.result;
      return Outcome::kEnd;
    }
    if (verdict == InFlightQueue::Verdict::kDrop) {
      console().print(kTxtStaleResult, static_cast<int>(trimmed.size()), trimmed.data());
    }
    line.clear();
    return verdict == InFlightQueue::Verdict::kKept ? Outcome::kGoOn : done;
  }

  // An information line: part of the collected answer, unless the next result
  // goes to another command (one given up, or one awaited before it).
  if (mode == Mode::kCall && in_flight_.information_collected()) out.append(text);
  line.clear();
  return done;
}

bool AtChannel::receive(AtReply& reply, bool* timed_out) {
  reply.text.fill('\0');
  reply.result = AtResult::kPending;
  if (timed_out != nullptr) *timed_out = false;
  if (const InFlight* c = in_flight_.collecting();
      c != nullptr && c->result != AtResult::kPending) {
    // Its result came while a later command was awaited.
    Collected collected(reply.text.data());
    collected.append_result(c_text(c->result_line.data(), c->result_line.size()));
    reply.result = c->result;
    finish(reply.result);
    log_answer(collected.c_str());
    return true;
  }
  if (pull()) return true;  // what was awaited is gone with the old device
  if (lines_.empty()) return false;

  // The limit counts from the first byte and is never restarted.
  const uint32_t start = GetTimeTicks();
  LineAssembler line;
  Collected collected(reply.text.data());
  for (;;) {
    for (PortLines::Fed fed; (fed = lines_.feed(line)) != PortLines::Fed::kEmpty;) {
      if (fed == PortLines::Fed::kLine &&
          on_line(line, collected, Mode::kCall, reply.result) == Outcome::kEnd) {
        log_answer(collected.c_str());
        return true;
      }
    }
    if (ticks_elapsed(GetTimeTicks(), start) > limit_ms(restarting_)) {
      report_timeout(restarting_, timed_out);
      if (awaiting()) {
        finish(AtResult::kTimeout);
        reply.result = AtResult::kTimeout;
      }
      log_answer(collected.c_str());
      return true;
    }
    lines_.port().wait(kPassUs);
    if (pull()) {
      console().print(kTxtRecv, collected.c_str());
      return true;
    }
  }
}

int send_str(ByteStream& port, const char* command) {
  console().print(kTxtSend, command);
  return port.write(command, static_cast<int>(std::strlen(command)));
}
