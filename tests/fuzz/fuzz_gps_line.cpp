// The GPS line filter on arbitrary GPS-port bytes cut into lines by the
// GPS line lexer: what is accepted fits a GpsFix and is stored whole.
#include "app/gps_filter.h"
#include "app/gps_reader.h"
#include "common/gps_fix.h"
#include "common/text.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  NmeaLine line;
  for (size_t i = 0; i < size; ++i) {
    if (line.feed(data[i]) != NmeaLine::Event::kLine) continue;
    std::string_view text = line.text();
    GpsVerdict verdict = filter_gps_line(text);
    if (verdict == GpsVerdict::kTooLong) FUZZ_CHECK(gps_sentence(text).size() > kGpsMaxLine - 2);
    if (verdict == GpsVerdict::kAccept) {
      static GpsFix fix;
      char work[GpsFix::kSize] = {}, stored[GpsFix::kSize];
      FUZZ_CHECK(copy_text(work, sizeof work, gps_sentence(text)) && fix.store(work));
      fix.copy(stored);
      FUZZ_CHECK(std::string_view(stored) == std::string_view(work));
    }
    line.clear();
  }
  return 0;
}
