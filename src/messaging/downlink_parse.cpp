#include "messaging/downlink_parse.h"

#include <algorithm>
#include <utility>

#include "common/text.h"
#include "messaging/uplink.h"

namespace {

constexpr std::string_view kFieldDelims = ",";

// A field that atoi reads digits from: blanks, an optional sign, a digit.
bool reads_as_number(std::string_view field) {
  size_t i = field.find_first_not_of(" \t\n\v\f\r");
  if (i == std::string_view::npos) return false;
  if (field[i] == '+' || field[i] == '-') ++i;
  return i < field.size() && field[i] >= '0' && field[i] <= '9';
}

template <typename T, size_t Width>
std::optional<std::array<T, kMaxSlots>> decode_slots(std::string_view text, SlotCount slots) {
  const size_t n = slots.size();
  if (text.size() < n * Width) return std::nullopt;
  std::array<T, kMaxSlots> out{};
  for (size_t i = 0; i < n; ++i) {
    out[i] = static_cast<T>(read_long(text.substr(i * Width, Width), 16));
  }
  return out;
}

}  // namespace

bool downlink_accepted(std::string_view frame) {
  return (!frame.empty() && frame[0] == 'A') || (frame.size() > 1 && frame[1] == 'E');
}

int32_t read_base2(std::string_view digits) {
  uint32_t value = 0;
  size_t n = digits.size();
  for (size_t i = 0; i < n; ++i) {
    size_t place = n - 1 - i;
    if (digits[i] == '1' && place < 32) value |= 1U << place;
  }
  return static_cast<int32_t>(value);
}

std::optional<DownlinkFrame> parse_downlink_frame(std::string_view frame) {
  TokenView fields(frame);
  std::array<std::string_view, 8> f;
  for (auto& field : f) {
    auto next = fields.next(kFieldDelims);
    if (!next) return std::nullopt;
    field = *next;
  }
  return DownlinkFrame{f[0], f[1],           read_base2(f[2]), read_int(f[3]), read_int(f[4]),
                       f[5], read_int(f[6]), read_int(f[7]),   fields.rest()};
}

DownlinkValues read_downlink_values(std::string_view tail, int32_t count) {
  DownlinkValues v;
  TokenView fields(tail);
  int32_t seen = 0;
  std::string_view last;
  while (auto field = fields.next(kFieldDelims)) {
    if (seen < count && seen < kMaxSlots) v.value[static_cast<size_t>(seen)] = read_int(*field);
    if (seen == std::max(count, 0)) v.end_char = *field;
    last = *field;
    ++seen;
  }
  v.held = seen;
  if (seen > 0 && !reads_as_number(last)) {
    v.closing = last;
    --v.held;
  }
  return v;
}

uint8_t pending_bit_of(std::string_view type) {
  // Tested in step order.
  for (ReportStep step : kSteps) {
    if (contains(type, kAnswerTypes[step_index(step)])) return step_bit(step);
  }
  return 0;
}

std::optional<std::array<uint8_t, kMaxSlots>> decode_do_text(std::string_view text,
                                                             SlotCount slots) {
  return decode_slots<uint8_t, 2>(text, slots);
}

std::optional<std::array<uint16_t, kMaxSlots>> decode_ao_text(std::string_view text,
                                                              SlotCount slots) {
  return decode_slots<uint16_t, 4>(text, slots);
}
