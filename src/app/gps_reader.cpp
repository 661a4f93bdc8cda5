#include "app/gps_reader.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "serial/byte_stream.h"
#include "serial/port_keeper.h"

namespace {

constexpr char kTxtGpsStartLine[] = "\r\n<--- GPS Start --->\r";
constexpr char kTxtGpsTooLong[] = "[ERROR] GPS line of %zu characters too long, dropped!!\n";
constexpr char kTxtTimeoutLine[] = "Receiving message timeout!!";
constexpr char kTxtRecv[] = "Recv:\r\n%s-----\r\n\r\n";
constexpr char kTxtLineTooLong[] = "[ERROR] Line of 1024 bytes or more without LF dropped!!\n";
constexpr char kTxtQueueFull[] =
    "[ERROR] Receive queue of port %u full, %zu oldest bytes dropped!!\n";

constexpr size_t kResponseSize = 1024;
constexpr size_t kPendingLimit = 4096;
constexpr uint32_t kLimitMs = 60000;
constexpr uint64_t kPassUs = 10000;

static_assert(kGpsMaxLine - 2 < GpsFix::kSize, "a kept sentence and its NUL fit a GpsFix");

}  // namespace

NmeaLine::Event NmeaLine::feed(uint8_t byte) {
  if (skipping_) {
    skipping_ = byte != '\n';
    return Event::kNone;
  }
  if (len_ == kCapacity) {
    clear();
    skipping_ = byte != '\n';
    return Event::kOverflow;
  }
  buf_[len_++] = byte == ',' ? ':' : static_cast<char>(byte);
  return byte == '\n' ? Event::kLine : Event::kNone;
}

GpsLines::GpsLines(PortKeeper& keeper) : port_(keeper.port()), keeper_(&keeper) {}

void GpsLines::pull() {
  if (keeper_ != nullptr) {
    if (!keeper_->ready()) return;
    if (keeper_->returns() != returns_seen_) {
      returns_seen_ = keeper_->returns();
      pending_.clear();
    }
  }
  std::array<char, 1024> chunk;
  for (int waiting = port_.waiting(); waiting > 0;) {
    const int got = port_.read(chunk.data(), std::min(waiting, static_cast<int>(chunk.size())));
    if (got <= 0) break;
    pending_.append(chunk.data(), static_cast<size_t>(got));
    if (pending_.size() > kPendingLimit) {
      const size_t dropped = pending_.size() - kPendingLimit;
      pending_.erase(0, dropped);
      console().print(kTxtQueueFull, static_cast<unsigned>(port_.number()), dropped);
    }
    waiting -= got;
  }
}

int GpsLines::read_line(char* response, bool* timed_out) {
  std::memset(response, 0, kResponseSize);
  if (timed_out != nullptr) *timed_out = false;
  pull();
  if (pending_.empty()) return 0;
  const uint32_t start = GetTimeTicks();
  NmeaLine line;
  for (;;) {
    size_t taken = 0;
    while (taken < pending_.size()) {
      const NmeaLine::Event ev = line.feed(static_cast<uint8_t>(pending_[taken++]));
      if (ev == NmeaLine::Event::kOverflow) console().write(kTxtLineTooLong);
      if (ev != NmeaLine::Event::kLine) continue;
      pending_.erase(0, taken);
      std::memcpy(response, line.bytes().data(), line.bytes().size());
      return 1;
    }
    pending_.clear();
    if (ticks_elapsed(GetTimeTicks(), start) > kLimitMs) {
      if (timed_out != nullptr) *timed_out = true;
      console().line(kTxtTimeoutLine);
      console().print(kTxtRecv, "");
      return 1;
    }
    port_.wait(kPassUs);
    pull();
  }
}

bool GpsLines::line_waiting() {
  pull();
  return pending_.find('\n') != std::string::npos;
}

GpsVerdict gps_read_pass(GpsLines& reader, GpsFix& fix, const std::vector<std::string>& talkers) {
  std::array<char, kResponseSize> line;
  GpsVerdict verdict = GpsVerdict::kNoRmc;
  if (reader.read_line(line.data()) != 0) {
    const std::string_view text = c_text(line.data(), line.size());
    verdict = filter_gps_line(text, talkers);
    if (verdict == GpsVerdict::kAccept) {
      std::array<char, GpsFix::kSize> work{};
      copy_text(work.data(), work.size(), gps_sentence(text));
      fix.store(work.data());
    } else if (verdict == GpsVerdict::kTooLong) {
      console().print(kTxtGpsTooLong, text.size());
    }
  }
  const bool at_once = verdict == GpsVerdict::kOtherSentence || verdict == GpsVerdict::kSeveralRmc;
  if (!at_once && !reader.line_waiting()) clock_sleep_seconds(1);
  return verdict;
}

void* thread_gps(void* job) {
  console().line(kTxtGpsStartLine);
  GpsJob& gps = *static_cast<GpsJob*>(job);
  GpsLines reader(gps.port);
  for (;;) gps_read_pass(reader, gps.fix, gps.talkers);
}
