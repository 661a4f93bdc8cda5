// The modem's and the GPS port's line assembly on arbitrary bytes (byte 0 bit
// 0: the GPS port's), against a model: every LF-terminated piece of up to 1023
// bytes is one line holding exactly those bytes (commas as colons on the GPS
// port; on the modem's the control bytes other than TAB, CR and LF, and DEL,
// are dropped); a longer
// piece is one overflow and no line. Every "+ESONMI=" line parses to a report whose
// data lies inside the line.
#include <string>

#include "app/gps_reader.h"
#include "fuzz_check.h"
#include "messaging/urc.h"
#include "modem/line_assembler.h"

namespace {

void check_esonmi(std::string_view line) {
  size_t at = line.find("+ESONMI=");
  if (at == std::string_view::npos) return;
  EsonmiParse p = parse_esonmi(line.substr(at), 1024);
  FUZZ_CHECK(p.report || p.reason != nullptr);
  if (!p.report) return;
  FUZZ_CHECK(p.report->count >= 0 && p.report->count <= 1024);
  FUZZ_CHECK(p.report->hex.size() >= 2 * static_cast<size_t>(p.report->count) &&
             inside(p.report->hex, line));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool line_mode = (data[0] & 1) != 0;
  std::string_view input = fuzz_text(data + 1, size - 1);
  LineAssembler line;
  NmeaLine gps;
  std::string piece;  // the bytes kept since the last LF
  for (char c : input) {
    const auto b = static_cast<uint8_t>(c);
    const auto ev = line_mode ? static_cast<int>(gps.feed(b)) : static_cast<int>(line.feed(b));
    const std::string_view held = line_mode ? gps.bytes() : line.bytes();
    FUZZ_CHECK(held.size() <= LineAssembler::kCapacity && line.c_str()[line.size()] == '\0');
    if (!line_mode && (b == 0x7F || (b < 0x20 && b != '\t' && b != '\n' && b != '\r'))) {
      FUZZ_CHECK(ev == 0);  // noise in AT text
      continue;
    }
    piece += line_mode && c == ',' ? ':' : c;
    if (c == '\n' && piece.size() <= LineAssembler::kCapacity) {
      FUZZ_CHECK(ev == 1 && held == piece);  // a line
      check_esonmi(line.text());
    } else {
      FUZZ_CHECK(ev == (piece.size() == LineAssembler::kCapacity + 1 ? 2 : 0));  // overflow
    }
    if (c == '\n') line.clear(), gps.clear(), piece.clear();
  }
  return 0;
}
