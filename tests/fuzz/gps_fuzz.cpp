// The GPS line filter on arbitrary lines: a kept sentence always fits
// gps_data with its NUL, starts at the line's first character and holds
// exactly one "$GPRMC".
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "app/gps_filter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  const GpsVerdict verdict = filter_gps_line(line);
  const std::string_view sentence = gps_sentence(line);
  if (sentence.data() != line.data() || sentence.size() != (size < 2 ? 0 : size - 2)) {
    __builtin_trap();
  }
  if (verdict == GpsVerdict::kAccept) {
    const size_t first = line.find("$GPRMC");
    if (size > kGpsMaxLine || sentence.size() + 1 > 128 || first == std::string_view::npos ||
        line.find("GPRMC", first + 6) != std::string_view::npos) {
      __builtin_trap();
    }
  }
  return 0;
}
