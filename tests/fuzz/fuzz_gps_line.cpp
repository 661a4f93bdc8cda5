// The GPS reader's line filter on arbitrary GPS-port bytes, taken as the
// reader gets them: cut into lines by the line-mode assembler (commas as
// colons, overlong lines dropped) and seen up to their first NUL. Whatever is
// accepted must fit gps_data and be stored there whole.
#include <cstring>

#include "app/gps_filter.h"
#include "common/text.h"
#include "config/records.h"
#include "fuzz_check.h"
#include "modem/line_assembler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  LineAssembler line(true);
  for (size_t i = 0; i < size; ++i) {
    if (line.feed(data[i]) != LineAssembler::Event::kLine) continue;
    std::string_view text = line.text();
    GpsVerdict verdict = filter_gps_line(text);
    if (verdict == GpsVerdict::kAccept) {
      std::string_view sentence = gps_sentence(text);
      char work[sizeof gps_data] = {};
      FUZZ_CHECK(copy_text(work, sizeof work, sentence));
      FUZZ_CHECK(store_gps_data(work));
      char stored[sizeof gps_data];
      copy_gps_data(stored);
      FUZZ_CHECK(std::string_view(stored) == std::string_view(work));
    } else if (verdict == GpsVerdict::kTooLong) {
      FUZZ_CHECK(text.size() > kGpsMaxLine);
    }
    line.clear();
  }
  return 0;
}
