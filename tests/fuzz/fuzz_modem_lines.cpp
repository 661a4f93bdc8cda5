// The modem's line assembly on arbitrary bytes, against a model of what it
// must do: every LF-terminated piece of up to 1023 bytes is one line holding
// exactly those bytes (commas as colons in line mode); a longer piece is one
// overflow and no line. Lines never outgrow their buffer, and every "+ESONMI="
// line parses to a report whose data lies inside the line.
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "modem/line_assembler.h"
#include "modem/urc.h"

namespace {

constexpr size_t kPayloadCapacity = 1024;

void check_esonmi(std::string_view line) {
  size_t at = line.find("+ESONMI=");
  if (at == std::string_view::npos) return;
  EsonmiParse p = parse_esonmi(line.substr(at), kPayloadCapacity);
  if (!p.report) {
    FUZZ_CHECK(p.reason != nullptr);
    return;
  }
  const EsonmiReport& r = *p.report;
  FUZZ_CHECK(r.count >= 0 && static_cast<size_t>(r.count) <= kPayloadCapacity);
  FUZZ_CHECK(r.hex.size() >= 2 * static_cast<size_t>(r.count));
  FUZZ_CHECK(r.hex.data() >= line.data() && r.hex.data() + r.hex.size() <= line.data() + line.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the mode; the rest is what the port delivers.
  const bool line_mode = (data[0] & 1) != 0;
  std::string_view input = fuzz_text(data + 1, size - 1);
  LineAssembler line(line_mode);

  size_t piece_start = 0;
  for (size_t i = 0; i < input.size(); ++i) {
    LineAssembler::Event ev = line.feed(static_cast<uint8_t>(input[i]));
    FUZZ_CHECK(line.size() <= LineAssembler::kCapacity && line.c_str()[line.size()] == '\0');
    const size_t piece_len = i + 1 - piece_start;
    if (input[i] == '\n') {
      if (piece_len <= LineAssembler::kCapacity) {
        FUZZ_CHECK(ev == LineAssembler::Event::kLine);
        std::string expected(input.substr(piece_start, piece_len));
        if (line_mode) std::replace(expected.begin(), expected.end(), ',', ':');
        FUZZ_CHECK(line.bytes() == expected);
        check_esonmi(line.text());
      } else {
        FUZZ_CHECK(ev == (piece_len == LineAssembler::kCapacity + 1
                              ? LineAssembler::Event::kOverflow
                              : LineAssembler::Event::kNone));
      }
      line.clear();
      piece_start = i + 1;
    } else {
      FUZZ_CHECK(ev == (piece_len == LineAssembler::kCapacity + 1 ? LineAssembler::Event::kOverflow
                                                                  : LineAssembler::Event::kNone));
    }
  }
  return 0;
}
