// Pure parsers of what the server sends down: the fields of a UDP answer frame
// and the value texts of MQTT DO/AO commands. Text in, values out; the command
// handlers (downlink_udp, downlink_mqtt) do the logging and the effects.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

#include "config/configuration.h"

// A frame is accepted when its first character is 'A' or its second is 'E'.
bool downlink_accepted(std::string_view frame);

// Each '1' adds 2 to the power of its distance from the right end (the last
// character counts 1); other characters and positions 32 or more from the
// right add nothing. "0100" gives 4.
int32_t read_base2(std::string_view digits);

// The eight leading fields of an answer frame, as views into its text.
struct DownlinkFrame {
  std::string_view preamble;
  std::string_view device_type;
  int32_t device_version;  // read with read_base2
  int32_t session_id;
  int32_t packet_id;
  std::string_view type;
  int32_t offset;
  int32_t number;         // how many values follow, as the frame says
  std::string_view tail;  // the text after the Number field
};

// Splits the eight leading fields at ',' (runs of commas count as one);
// nullopt when the frame holds fewer than eight.
std::optional<DownlinkFrame> parse_downlink_frame(std::string_view frame);

// The fields after Number, for an answer that carries values.
struct DownlinkValues {
  // The first min(count, 32) value fields, read as decimal (atoi); only the
  // session's slots (at most 32) matter, the rest are ignored.
  std::array<int32_t, kMaxSlots> value{};
  // Value fields the frame holds: the fields after Number, less a closing
  // EndChar field. The last field is that EndChar unless it reads as a number
  // (trailing cipher padding blanks stay part of it).
  int32_t held = 0;
  // The field after the first count fields; empty when there is none.
  std::string_view end_char;
  // The closing EndChar field; empty when the frame ends with a value.
  std::string_view closing;
};

// Reads count values from the tail of a frame (a negative count reads none).
// Nothing is sized from count: the walk ends with the text.
DownlinkValues read_downlink_values(std::string_view tail, int32_t count);

// The pending bit that an answer of this Type clears: the first of DEVINFO,
// RDO, WDI, RAO, WAI, WGPS that the Type contains (a substring test, in that
// order) gives 1, 2, 4, 8, 16 or 32; 0 when it contains none.
uint8_t pending_bit_of(std::string_view type);

// MQTT value texts: 2 hex digits per DO slot, 4 per AO slot, slot 0 first.
// Each group is read like strtol base 16 (leading blanks, a sign and a 0x
// prefix accepted; nothing readable gives 0) and cut to 8 or 16 bits. Groups
// beyond the slots are ignored. nullopt when the text holds fewer than
// 2 (4) characters per slot; slots is taken between 0 and 32.
std::optional<std::array<uint8_t, kMaxSlots>> decode_do_text(std::string_view text,
                                                             SlotCount slots);
std::optional<std::array<uint16_t, kMaxSlots>> decode_ao_text(std::string_view text,
                                                              SlotCount slots);
