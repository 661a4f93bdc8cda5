#include "app/gps_filter.h"

#include <array>
#include <string>
#include <utility>

#include "common/text.h"

namespace {

// Sentence types the gateway does not report; their lines are passed over
// without a pause.
constexpr std::array<std::string_view, 4> kSkippedTypes = {"GPVTG", "GPGGA", "GPGSA", "GPGLL"};
constexpr std::string_view kRmc = "RMC";

// The first "$<talker>RMC" of a listed talker: its position and length.
std::pair<size_t, size_t> first_rmc(std::string_view line,
                                    const std::vector<std::string>& talkers) {
  std::pair<size_t, size_t> first{std::string_view::npos, 0};
  for (const std::string& talker : talkers) {
    const std::string start = "$" + talker + std::string(kRmc);
    const size_t at = line.find(start);
    if (at < first.first) first = {at, start.size()};
  }
  return first;
}

}  // namespace

GpsVerdict filter_gps_line(std::string_view line) {
  static const std::vector<std::string> kGpOnly = {"GP"};
  return filter_gps_line(line, kGpOnly);
}

GpsVerdict filter_gps_line(std::string_view line, const std::vector<std::string>& talkers) {
  for (std::string_view type : kSkippedTypes) {
    if (contains(line, type)) return GpsVerdict::kOtherSentence;
  }
  const auto [at, length] = first_rmc(line, talkers);
  if (at == std::string_view::npos) return GpsVerdict::kNoRmc;
  // A second sentence is looked for from the "C" that ends the first.
  const std::string_view rest = line.substr(at + length - 1);
  for (const std::string& talker : talkers) {
    if (contains(rest, talker + std::string(kRmc))) return GpsVerdict::kSeveralRmc;
  }
  if (gps_sentence(line).size() > kGpsMaxLine - 2) return GpsVerdict::kTooLong;
  return GpsVerdict::kAccept;
}

std::string_view gps_sentence(std::string_view line) {
  // A line cut at a NUL has no line end to remove.
  if (!line.ends_with('\n')) return line;
  return line.substr(0, line.size() < 2 ? 0 : line.size() - 2);
}
