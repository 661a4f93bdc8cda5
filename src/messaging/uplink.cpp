#include "messaging/uplink.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/console.h"
#include "common/text.h"
#include "modem/at_commands.h"

namespace {

// The gateway's own texts.
constexpr const char* kDevInfoFrame = "AE,QRX724H,0100,%d,%d,DEVINFO,0,4,%d,%s,%d,%s,EA";
constexpr const char* kRdoFrame = "AE,QRX724H,0100,%d,%d,RDO,0,%d,EA";
constexpr const char* kRaoFrame = "AE,QRX724H,0100,%d,%d,RAO,0,%d,EA";
constexpr const char* kWdiFrameHead = "AE,QRX724H,0100,%d,%d,WDI,0,%d";
constexpr const char* kWaiFrameHead = "AE,QRX724H,0100,%d,%d,WAI,0,%d";
constexpr const char* kWgpsFrame = "AE,QRX724H,0100,%d,%d,WGPS,0,1,%s,EA";
constexpr const char* kFrameValue = ",%d";
constexpr const char* kFrameEnd = ",EA";
constexpr const char* kDevInfoPayload = "%d,%s,%d,%s";
constexpr const char* kDiPayloadValue = "%02X";
constexpr const char* kAiPayloadValue = "%04X";
constexpr const char* kJsonTime = "%Y-%m-%dT%H:%M:%SZ";
constexpr const char* kJsonReport =
    "[\n{\n\"id\":\"%s\",\n\"deviceId\":\"%s\",\n\"time\":\"%s\",\n\"value\":[\n\"%s\"\n]\n}\n]";
constexpr const char* kJsonDi =
    "[\n{\n\"id\":\"%s\",\n\"deviceId\":\"%s\",\n\"time\":\"%s\",\n\"value\":[\n\"%d/DI/%s\"\n]\n}"
    "\n]";
constexpr const char* kJsonAi =
    "[\n{\n\"id\":\"%s\",\n\"deviceId\":\"%s\",\n\"time\":\"%s\",\n\"value\":[\n\"%d/AI/%s\"\n]\n}"
    "\n]";
constexpr const char* kRefused = "[ERROR] %s does not fit in %zu bytes, refused!!\n";

constexpr const char* kMengInfo = "MENGINFOSC";

// Appends to a bounded buffer; once something did not fit, everything after is
// ignored and finish() refuses the whole text.
class TextOut {
 public:
  explicit TextOut(std::span<char> out) : out_(out) {
    if (!out_.empty()) out_[0] = '\0';
  }

  __attribute__((format(printf, 2, 3))) TextOut& add(const char* fmt, ...) {
    if (!ok_) return *this;
    va_list ap;
    va_start(ap, fmt);
    std::optional<size_t> n = vbformat(out_.subspan(used_), fmt, ap);
    va_end(ap);
    ok_ = n.has_value();
    if (ok_) used_ += *n;
    return *this;
  }

  TextOut& hex(std::span<const uint8_t> bytes) {
    if (!ok_) return *this;
    if (out_.size() - used_ <= 2 * bytes.size()) {
      ok_ = false;
    } else {
      used_ += bytes_to_hex(bytes.data(), bytes.size(), out_.data() + used_);
    }
    return *this;
  }

  BuildResult finish(const char* what) {
    if (ok_) return used_;
    if (!out_.empty()) out_[0] = '\0';
    console().print(kRefused, what, out_.size());
    return std::nullopt;
  }

 private:
  std::span<char> out_;
  size_t used_ = 0;
  bool ok_ = !out_.empty();
};

template <typename Value>
BuildResult values_frame(std::span<char> out, const char* head, int32_t session_id,
                         int32_t packet_id, std::span<const Value> values, const char* what) {
  TextOut t(out);
  t.add(head, session_id, packet_id, static_cast<int>(values.size()));
  for (Value v : values) t.add(kFrameValue, static_cast<int>(v));
  t.add("%s", kFrameEnd);
  return t.finish(what);
}

template <typename Value>
BuildResult hex_payload(std::span<char> out, const char* fmt, std::span<const Value> values,
                        const char* what) {
  TextOut t(out);
  for (Value v : values) t.add(fmt, static_cast<unsigned>(v));
  return t.finish(what);
}

std::span<const uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

}  // namespace

BuildResult build_devinfo_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                                const DevInfoValues& values) {
  TextOut t(out);
  t.add(kDevInfoFrame, session_id, packet_id, values.value1, values.value2, values.value3,
        values.value4);
  return t.finish("DEVINFO frame");
}

BuildResult build_rdo_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            int32_t count) {
  TextOut t(out);
  t.add(kRdoFrame, session_id, packet_id, count);
  return t.finish("RDO frame");
}

BuildResult build_rao_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            int32_t count) {
  TextOut t(out);
  t.add(kRaoFrame, session_id, packet_id, count);
  return t.finish("RAO frame");
}

BuildResult build_wdi_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            std::span<const uint8_t> di_values) {
  return values_frame(out, kWdiFrameHead, session_id, packet_id, di_values, "WDI frame");
}

BuildResult build_wai_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            std::span<const uint16_t> ai_values) {
  return values_frame(out, kWaiFrameHead, session_id, packet_id, ai_values, "WAI frame");
}

BuildResult build_wgps_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                             const char* gps) {
  TextOut t(out);
  t.add(kWgpsFrame, session_id, packet_id, gps);
  return t.finish("WGPS frame");
}

BuildResult build_esosend_line(std::span<char> out, int32_t sock_id,
                               std::span<const uint8_t> scrambled) {
  TextOut t(out);
  t.add(kAtEsosendPrefix, sock_id, static_cast<int>(scrambled.size()));
  t.hex(scrambled);
  t.add("%s", kAtLineEnd);
  return t.finish("AT+ESOSEND line");
}

BuildResult build_devinfo_payload(std::span<char> out, const DevInfoValues& values) {
  TextOut t(out);
  t.add(kDevInfoPayload, values.value1, values.value2, values.value3, values.value4);
  return t.finish("DEVINFO payload");
}

BuildResult build_di_payload(std::span<char> out, std::span<const uint8_t> di_values) {
  return hex_payload(out, kDiPayloadValue, di_values, "DI payload");
}

BuildResult build_ai_payload(std::span<char> out, std::span<const uint16_t> ai_values) {
  return hex_payload(out, kAiPayloadValue, ai_values, "AI payload");
}

BuildResult build_text_payload(std::span<char> out, const char* text) {
  TextOut t(out);
  t.add("%s", text);
  return t.finish("payload");
}

BuildResult format_json_time(std::span<char> out, std::time_t when) {
  std::tm local{};
  char text[kTimeTextSize] = "";
  if (localtime_r(&when, &local) == nullptr ||
      std::strftime(text, sizeof text, kJsonTime, &local) == 0) {
    text[0] = '\0';
  }
  TextOut t(out);
  t.add("%s", text);
  return t.finish("time text");
}

namespace {

// The identities and the time as JSON string contents: a quote, a backslash, a
// control character or a byte that is not UTF-8 never breaks the document.
struct JsonIdTexts {
  explicit JsonIdTexts(const JsonIds& ids)
      : sensor(json_escaped(ids.sensor_id)),
        device(json_escaped(ids.device_id)),
        time(json_escaped(ids.time_text)) {}
  std::string sensor, device, time;
};

}  // namespace

BuildResult wrap_json(std::span<char> out, const JsonIds& ids, const char* payload) {
  const JsonIdTexts id(ids);
  TextOut t(out);
  // The payload carries text from outside (the GPS sentence, the modem's
  // engineering report): escaped like the identities.
  t.add(kJsonReport, id.sensor.c_str(), id.device.c_str(), id.time.c_str(),
        json_escaped(payload).c_str());
  return t.finish("JSON payload");
}

BuildResult wrap_json_di(std::span<char> out, const JsonIds& ids, int32_t session_id,
                         const char* hex) {
  const JsonIdTexts id(ids);
  TextOut t(out);
  t.add(kJsonDi, id.sensor.c_str(), id.device.c_str(), id.time.c_str(), session_id, hex);
  return t.finish("JSON payload");
}

BuildResult wrap_json_ai(std::span<char> out, const JsonIds& ids, int32_t session_id,
                         const char* hex) {
  const JsonIdTexts id(ids);
  TextOut t(out);
  t.add(kJsonAi, id.sensor.c_str(), id.device.c_str(), id.time.c_str(), session_id, hex);
  return t.finish("JSON payload");
}

BuildResult build_emqpub_line(std::span<char> out, int32_t mqtt_id, const char* topic,
                              std::string_view payload) {
  TextOut t(out);
  t.add(kAtEmqpubPrefix, mqtt_id, topic, static_cast<int>(payload.size()));
  t.hex(as_bytes(payload));
  t.add("%s", kAtLineEnd);
  return t.finish("AT+EMQPUB line");
}

// "*MENGINFOSC: 3686,0,45,-891,-120,-145,-98,-6,5,1A2B,1,23,..." : the text
// after the colon, split at commas; fields 5, 11 and 8.
InputMessage build_input_message(std::span<char> out, std::span<char> scratch,
                                 const Settings& settings, int32_t session_id, int32_t packet_id,
                                 InputValues values, std::time_t now) {
  const auto* di = std::get_if<std::span<const uint8_t>>(&values);
  const auto* ai = std::get_if<std::span<const uint16_t>>(&values);
  if (settings.transport == ReportTransport::kUdp) {
    return {di ? "WDI" : "WAI", nullptr,
            di ? build_wdi_frame(out, session_id, packet_id, *di)
               : build_wai_frame(out, session_id, packet_id, *ai)};
  }
  InputMessage m{di ? "DI" : "AI", di ? settings.pub_topic_di : settings.pub_topic_ai, {}};
  if (!settings.mqtt_cht) {
    m.length = di ? build_di_payload(out, *di) : build_ai_payload(out, *ai);
    return m;
  }
  m.length = di ? build_di_payload(scratch, *di) : build_ai_payload(scratch, *ai);
  if (!m.length) return m;
  char time_text[kTimeTextSize];
  format_json_time(time_text, now);
  const JsonIds ids{settings.sensor_id, settings.device_id, time_text};
  m.length = di ? wrap_json_di(out, ids, session_id, scratch.data())
                : wrap_json_ai(out, ids, session_id, scratch.data());
  return m;
}

DevInfoValues parse_menginfo(std::string_view response) {
  DevInfoValues v;
  size_t at = response.find(kMengInfo);
  if (at == std::string_view::npos) return v;
  auto report = nth_field(response.substr(at), ":", 2);
  if (!report) return v;
  TokenView fields(*report);
  for (int k = 1; k <= 11; ++k) {
    auto f = fields.next(",");
    if (!f) break;
    if (k == 5) v.value1 = read_int(*f);
    if (k == 8) v.value3 = read_int(*f);
    if (k == 11 && f->size() == 1) copy_text(v.value2, sizeof v.value2, *f);
  }
  return v;
}
