#include "messaging/downlink_udp.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/console.h"
#include "config/configuration.h"
#include "messaging/downlink_common.h"
#include "messaging/downlink_parse.h"
#include "messaging/report_book.h"
#include "modbus/modbus_io.h"

namespace {

// The dispatcher hands over its 1024-byte payload buffer.
constexpr size_t kFrameCap = 1024;

constexpr const char* kFormatError = "Message format error!!";
constexpr const char* kTooFewFields = "Message has fewer than 8 fields!!";
constexpr const char* kForSession = "!! This message is for SESSION%02d !!\n";
constexpr const char* kPreamble = "Preamble       = %.*s\n";
constexpr const char* kDeviceType = "Device Type    = %.*s\n";
constexpr const char* kDeviceVersion = "Device Version = %d\n";
constexpr const char* kSessionId = "Session ID     = %d\n";
constexpr const char* kPacketId = "PacketID       = %d\n";
constexpr const char* kType = "Type           = %.*s\n";
constexpr const char* kOffset = "Offset         = %d\n";
constexpr const char* kNumber = "Number         = %d\n";
constexpr const char* kValuesRefused =
    "%s values refused: Number %d, %d slots in the session, %d values in the message!!\n";
constexpr const char* kEndChar = "EndChar        = %.*s\n\n";
constexpr const char* kNotAwaited =
    "%.*s values refused: PacketID %d does not answer a request in flight (PacketID %d)!!\n";

// "%.*s" arguments for a field (an empty view may have no storage at all).
int field_len(std::string_view field) {
  return static_cast<int>(field.size());
}
const char* field_text(std::string_view field) {
  return field.empty() ? "" : field.data();
}

void log_fields(const DownlinkFrame& f) {
  console().print(kForSession, f.session_id);
  console().print(kPreamble, field_len(f.preamble), field_text(f.preamble));
  console().print(kDeviceType, field_len(f.device_type), field_text(f.device_type));
  console().print(kDeviceVersion, f.device_version);
  console().print(kSessionId, f.session_id);
  console().print(kPacketId, f.packet_id);
  console().print(kType, field_len(f.type), field_text(f.type));
  console().print(kOffset, f.offset);
  console().print(kNumber, f.number);
}

void clear_pending_bit(ReportBook& book, int session, std::string_view type) {
  uint8_t bit = pending_bit_of(type);
  if (bit != 0) book.clear_pending(session, bit);
}

// The server's values cut to the output's width (low 8 or 16 bits).
template <typename T>
std::array<T, kMaxSlots> cut_to(const DownlinkValues& v) {
  std::array<T, kMaxSlots> values{};
  std::transform(v.value.begin(), v.value.end(), values.begin(),
                 [](int32_t x) { return static_cast<T>(x); });
  return values;
}

// Reads, compares and writes the values of an RDO or RAO answer; gives the
// EndChar field to log, and the write-back's result in `result`.
std::string_view apply_values(IoImage& io, const Mapping& mapping,
                              std::span<const MbDevice> devices, int session,
                              const DownlinkFrame& f, IoResult& result) {
  bool is_do = f.type == "RDO";
  bool is_ao = f.type == "RAO";
  const int32_t slots = is_do   ? int{mapping.do_num[session]}
                        : is_ao ? int{mapping.ao_num[session]}
                                : 0;
  if (slots == 0) return read_downlink_values(f.tail, 0).end_char;

  DownlinkValues v = read_downlink_values(f.tail, f.number);
  // Too few values would leave slots undefined; more than the frame holds
  // would read the EndChar or nothing as values.
  if (f.number < slots || f.number > v.held) {
    console().print(kValuesRefused, is_do ? "DO" : "AO", f.number, slots, v.held);
    return v.closing;
  }
  result = is_do ? write_if_changed(io, mapping, devices, session, slots, cut_to<uint8_t>(v).data(),
                                    false)
                 : write_if_changed(io, mapping, devices, session, slots,
                                    cut_to<uint16_t>(v).data(), false);
  return v.end_char;
}

}  // namespace

IoResult process_message(ReportBook& book, IoImage& io, const Mapping& mapping,
                         std::span<const MbDevice> devices, char* frame) {
  std::string_view text(frame, strnlen(frame, kFrameCap));
  if (!downlink_accepted(text)) {
    console().line(kFormatError);
    return IoResult::kOk;
  }
  auto f = parse_downlink_frame(text);
  if (!f) {
    console().line(kTooFewFields);
    return IoResult::kOk;
  }
  log_fields(*f);

  auto session = find_session_index(mapping, f->session_id);
  if (!session) {
    refuse_unknown_session(f->session_id);
    return IoResult::kOk;
  }
  // Only an answer of the current cycle clears its request's bit; a late one
  // still sets the outputs, unless only the request in flight may.
  const uint8_t bit = pending_bit_of(f->type);
  const bool in_flight =
      f->packet_id == book.packet_id() && bit != 0 && (book.pending(*session) & bit) != 0;
  if (f->packet_id == book.packet_id()) clear_pending_bit(book, *session, f->type);
  IoResult result = IoResult::kOk;
  std::string_view end_char;
  if (book.answers_current_cycle_only() && !in_flight && (f->type == "RDO" || f->type == "RAO")) {
    console().print(kNotAwaited, field_len(f->type), field_text(f->type), f->packet_id,
                    book.packet_id());
    end_char = read_downlink_values(f->tail, f->number).end_char;
  } else {
    end_char = apply_values(io, mapping, devices, *session, *f, result);
  }
  if (result == IoResult::kUnreachable) return result;
  console().print(kEndChar, field_len(end_char), field_text(end_char));
  return result;
}
