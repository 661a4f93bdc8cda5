#include "messaging/downlink_reports.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>

#include "common/console.h"
#include "common/text.h"
#include "messaging/codec.h"
#include "messaging/downlink_queue.h"
#include "messaging/urc.h"
#include "modem/at_commands.h"
#include "modem/at_link.h"

namespace {

constexpr char kTxtEsonmi[] = "Receive +ESONMI message!!\n%s";
constexpr char kTxtData[] = "Data = %s\n";
constexpr char kTxtDataLength[] = "Data Length = %d\n";
constexpr char kTxtReconstructLine[] = "\r\n<--- RECONSTRUCTURE MESSAGE --->\r";
constexpr char kTxtDealLine[] = "\r\n<--- DEAL WITH MESSAGE --->\r";
constexpr char kTxtEmqpub[] = "Receive +EMQPUB message!!\n%s";
constexpr char kTxtNotDoAoLine[] = "Not DO or AO message!!";
constexpr char kTxtHexString[] = "HEX String (len = %d):\r\n%s\r\n";
constexpr char kTxtHexDataLine[] = "HEX Data:\r";
constexpr char kTxtUrcDropped[] = "[ERROR] %s message dropped: %s!!\n";

// Bytes a received datagram or publication may make (the payload buffer keeps
// a NUL after them: the frame handler takes text).
constexpr size_t kPayloadSize = 1024;
using Payload = std::array<uint8_t, kPayloadSize + 1>;
// A received line and its NUL.
constexpr size_t kLineSize = 1024;

void drop_urc(const char* urc, const char* reason) {
  console().print(kTxtUrcDropped, urc, reason);
}

// "+ESONMI=": a datagram; converted, unscrambled and handed to the frame handler.
void on_esonmi(std::string_view line, const DownlinkHandlers& to) {
  trace_downlink("line");
  console().print(kTxtEsonmi, line.data());
  std::string_view text = line;
  EsonmiParse parsed = parse_esonmi(text.substr(text.find(kUrcEsonmi)), kPayloadSize);
  if (!parsed.report) {
    drop_urc(kUrcEsonmi, parsed.reason);
    return;
  }
  const EsonmiReport& r = *parsed.report;
  std::array<char, kLineSize> hex{};
  copy_text(hex.data(), hex.size(), r.hex);  // a piece of the line: it fits
  console().print(kTxtData, hex.data());
  console().print(kTxtDataLength, r.count);
  console().line(kTxtReconstructLine);
  Payload payload{};
  recon_message(r.count, hex.data(), payload.data());
  if (decode_msg(payload.data(), r.count) != 0) {
    console().line(kTxtDealLine);
    to.deliver_udp_frame(reinterpret_cast<char*>(payload.data()));
  }
}

// "+EMQPUB:": a publication; converted and, when it is a command, handed to the
// command handler. MQTT payloads are not scrambled.
void on_emqpub(std::string_view line, const DownlinkHandlers& to) {
  trace_downlink("line");
  console().print(kTxtEmqpub, line.data());
  auto pieces = split_emqpub(line);
  if (!pieces) {
    drop_urc(kUrcEmqpub, "fewer than four quoted pieces");
    return;
  }
  std::array<char, kLineSize> hex{};
  copy_text(hex.data(), hex.size(), pieces->hex);
  auto count = static_cast<int32_t>(pieces->hex.size() / 2);
  console().line(kTxtReconstructLine);
  Payload payload{};
  recon_message(count, hex.data(), payload.data());
  std::string_view payload_text = c_text(reinterpret_cast<const char*>(payload.data()), count);
  MqttCommandParse parsed = to.json_commands ? mqtt_command_json(payload_text)
                                             : mqtt_command_plain(pieces->topic, payload_text);
  switch (parsed.kind) {
    case MqttParseKind::kNotDoAo:
      console().line(kTxtNotDoAoLine);
      break;
    case MqttParseKind::kDropped:
      drop_urc(kUrcEmqpub, parsed.reason);
      break;
    case MqttParseKind::kCommand:
      console().line(kTxtDealLine);
      to.deliver_mqtt_command(parsed.record);
      break;
  }
}

}  // namespace

void install_report_decoders(AtChannel& at, const DownlinkHandlers& to) {
  at.on_report(kUrcEsonmi, [to](std::string_view line) { on_esonmi(line, to); });
  at.on_report(kUrcEmqpub, [to](std::string_view line) { on_emqpub(line, to); });
}

void recon_message(int32_t count, const char* hex, uint8_t* out) {
  console().print(kTxtHexString, 2 * count, hex);
  console().line(kTxtHexDataLine);
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  hex_to_bytes(std::string_view(hex, strnlen(hex, 2 * n)), n, out);
  // The bytes go out again as upper-case hex, a chunk at a time.
  constexpr size_t kChunk = 256;
  std::array<char, 2 * kChunk + 1> row;
  for (size_t i = 0; i < n; i += kChunk) {
    bytes_to_hex(out + i, std::min(kChunk, n - i), row.data());
    console().write(row.data());
  }
}
