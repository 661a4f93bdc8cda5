#include "app/gps_filter.h"

#include <array>

#include "common/text.h"

namespace {

// Sentence types the gateway does not report; their lines are passed over
// without a pause.
constexpr std::array<std::string_view, 4> kSkippedTypes = {"GPVTG", "GPGGA", "GPGSA", "GPGLL"};
constexpr std::string_view kRmcStart = "$GPRMC";
constexpr std::string_view kRmc = "GPRMC";

}  // namespace

GpsVerdict filter_gps_line(std::string_view line) {
  for (std::string_view type : kSkippedTypes) {
    if (contains(line, type)) return GpsVerdict::kOtherSentence;
  }
  const size_t at = line.find(kRmcStart);
  if (at == std::string_view::npos) return GpsVerdict::kNoRmc;
  // A second sentence is looked for from the "C" that ends "$GPRMC".
  if (contains(line.substr(at + kRmcStart.size() - 1), kRmc)) return GpsVerdict::kSeveralRmc;
  if (gps_sentence(line).size() > kGpsMaxLine - 2) return GpsVerdict::kTooLong;
  return GpsVerdict::kAccept;
}

std::string_view gps_sentence(std::string_view line) {
  // A line cut at a NUL has no line end to remove.
  if (!line.ends_with('\n')) return line;
  return line.substr(0, line.size() < 2 ? 0 : line.size() - 2);
}
