// The GPS reader's line filter: which NMEA lines are kept, pure text in and
// verdict out, apart from the port and the clock.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// What the reader does with one received line.
enum class GpsVerdict {
  kOtherSentence,  // holds "GPVTG", "GPGGA", "GPGSA" or "GPGLL": skipped
  kNoRmc,          // no "$GPRMC" (a GSV sentence, a fragment, an empty line)
  kSeveralRmc,     // "GPRMC" again after the first "$GPRMC": skipped, old value kept
  kTooLong,        // an RMC line whose sentence would not fit a GpsFix: dropped
  kAccept,         // kept: the line from its first character, without its last two
};

// Longest line that is kept: its last two characters are cut and the rest,
// with a NUL, must fit the 128 bytes of a GpsFix (an NMEA sentence has at
// most 82 characters).
inline constexpr size_t kGpsMaxLine = 129;

// The filters in their order. line: the text the line-mode receive routine
// gave (commas already turned into colons), up to its first NUL. kTooLong
// when the sentence kept would not fit.
GpsVerdict filter_gps_line(std::string_view line);
// The same with the RMC sentences of the listed talkers ("GP", "GN", ...)
// kept instead of "$GPRMC" alone; the sentence keeps its own talker.
GpsVerdict filter_gps_line(std::string_view line, const std::vector<std::string>& talkers);

// The text kept for an accepted line: from its first character (text before
// "$GPRMC" included), without its last two characters (CR LF; from a line
// ended by LF alone, the last data character goes too). A line that a NUL
// cut (a receiver at cold boot pads a cut sentence with NULs) keeps every
// character before the NUL, as the receiver sent them: there is no line end
// to remove, and the filter has no more reason to refuse a cut sentence than
// any other that it does not check.
std::string_view gps_sentence(std::string_view line);
