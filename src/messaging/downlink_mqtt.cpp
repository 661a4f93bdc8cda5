#include "messaging/downlink_mqtt.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/console.h"
#include "common/text.h"
#include "config/configuration.h"
#include "messaging/downlink_common.h"
#include "messaging/downlink_parse.h"
#include "messaging/report_book.h"
#include "modbus/modbus_io.h"

namespace {

constexpr const char* kNotDoOrAo = "Not DO or AO message!!";

// What differs between a DO and an AO command.
struct CommandTexts {
  const char* no_slots;
  const char* too_short;
  const char* ack;
};

constexpr CommandTexts kDoTexts{
    "No DO exist!!",
    "DO values too short: %zu characters for %d slots!!\n",
    "DO_ACK",
};
constexpr CommandTexts kAoTexts{
    "No AO exist!!",
    "AO values too short: %zu characters for %d slots!!\n",
    "AO_ACK",
};

// decode: the value text to new values (nullopt when too short); write: the
// comparison with the image and the write-back of the new values.
template <typename Decode, typename Write>
IoResult run_command(ReportBook& book, const CommandTexts& texts, std::string_view data,
                     SlotCount slots, Decode decode, Write write) {
  if (slots < 1) {
    console().line(texts.no_slots);
    return IoResult::kOk;
  }
  auto values = decode(data, slots);
  if (!values) {
    console().print(texts.too_short, data.size(), int{slots});
    return IoResult::kOk;
  }
  if (write(values->data(), slots) == IoResult::kUnreachable) return IoResult::kUnreachable;
  // The acknowledgement carries neither session nor values; each command's
  // is published in turn.
  book.push_ack(texts.ack);
  return IoResult::kOk;
}

}  // namespace

IoResult process_message_MQTT(ReportBook& book, IoImage& io, const Mapping& mapping,
                              std::span<const MbDevice> devices, MqttDownlink record) {
  auto session = find_session_index(mapping, record.session_id);
  if (!session) {
    refuse_unknown_session(record.session_id);
    return IoResult::kOk;
  }
  int s = *session;
  std::string_view type = c_text(record.type, sizeof record.type);
  std::string_view data = c_text(record.data, sizeof record.data);
  if (type == "DO") {
    return run_command(book, kDoTexts, data, mapping.do_num[s], decode_do_text,
                       [&](const uint8_t* v, int32_t slots) {
                         return write_if_changed(io, mapping, devices, s, slots, v, true);
                       });
  }
  if (type == "AO") {
    return run_command(book, kAoTexts, data, mapping.ao_num[s], decode_ao_text,
                       [&](const uint16_t* v, int32_t slots) {
                         return write_if_changed(io, mapping, devices, s, slots, v, true);
                       });
  }
  console().line(kNotDoOrAo);
  return IoResult::kOk;
}
