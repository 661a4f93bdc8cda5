// Pure parses of the modem's unsolicited reports of received data. Each takes
// the text of one received line and answers the pieces the handler needs, or
// why the report has to be dropped; nothing here prints or touches a global.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "messaging/downlink.h"

// "+ESONMI=0,16,<32 hex digits>\r\n": a UDP datagram arrived.
struct EsonmiReport {
  int32_t count = 0;     // bytes in the datagram
  std::string_view hex;  // the data field cut at "\r" (points into the line)
};

struct EsonmiParse {
  std::optional<EsonmiReport> report;  // empty: drop the line
  const char* reason = nullptr;        // why, when dropped
};

// `text` begins at "+ESONMI=". Split at ",": socket (passed over), byte count,
// data. Dropped: fewer than three fields, a count below 0 or above
// payload_capacity, fewer than 2 x count hex characters.
EsonmiParse parse_esonmi(std::string_view text, size_t payload_capacity);

// "+EMQPUB: 0,\"/gw/cmd/2/DO\",1,0,0,6,\"313030\"\r\n": a publication arrived.
// Split at the double quote: piece 2 is the topic, piece 4 the payload as hex
// text. Fewer than four pieces give nothing.
struct EmqpubPieces {
  std::string_view topic;
  std::string_view hex;
};
std::optional<EmqpubPieces> split_emqpub(std::string_view line);

enum class MqttParseKind { kCommand, kNotDoAo, kDropped };

struct MqttCommandParse {
  MqttParseKind kind = MqttParseKind::kDropped;
  const char* reason = nullptr;  // why, when dropped
  MqttDownlink record{};         // filled for kCommand
};

// Plain payloads: the topic's third "/"-piece is the session ID, the fourth
// the type; the payload text is the value. Dropped: fewer than four topic
// pieces, a type of more than 11 characters.
MqttCommandParse mqtt_command_plain(std::string_view topic, std::string_view payload);

// JSON payloads ({"id":..,"deviceId":..,"time":..,"value":["2/DO/1,0,1"]}):
// must begin with '{' and hold "/DO/" or "/AO/" (else kNotDoAo); the 16th
// piece at the double quote is "session/type/value". Dropped: fewer than 16
// pieces, fewer than three value pieces, a type of more than 11 characters.
MqttCommandParse mqtt_command_json(std::string_view payload);
