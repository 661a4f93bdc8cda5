#include "app/gps_reader.h"

#include <array>
#include <cstdio>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "modem/at_link.h"

namespace {

constexpr char kTxtGpsStartLine[] = "\r\n<--- GPS Start --->\r";
constexpr char kTxtGpsTooLong[] = "[ERROR] GPS line of %zu characters too long, dropped!!\n";

static_assert(kGpsMaxLine - 2 < GpsFix::kSize, "a kept sentence and its NUL fit a GpsFix");

}  // namespace

GpsVerdict gps_read_pass(LineReader& reader, GpsFix& fix, const std::vector<std::string>& talkers) {
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
  LineReader reader(gps.port);
  for (;;) gps_read_pass(reader, gps.fix, gps.talkers);
}
