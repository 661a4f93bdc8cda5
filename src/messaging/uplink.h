// What the gateway sends towards its server: the six UDP frames, the MQTT
// payloads (plain and JSON), the two AT command lines that hand them to the
// modem, and the parses of the modem answers that feed the DEVINFO message.
//
// Every builder is pure: it writes NUL-terminated text into the bounded buffer
// it is given and returns the text's length. A text that would not fit is
// refused: a console line says so, the buffer holds "" and the result is empty.
// Text arguments are NUL-terminated C strings (the records' fields, gps_data).
// The registration and signal answers of the DEVINFO step are read with the
// bring-up's parses (modem/answers.h).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "config/configuration.h"

// Buffer sizes of the report loop.
constexpr size_t kFrameBufferSize = 65535;
constexpr size_t kCommandBufferSize = 1024;
// encode_msg pads an SMS4 frame in place up to the next 16-byte block, so a
// frame must leave this many bytes free behind it.
constexpr size_t kFramePadRoom = 15;
// The JSON time text holds at most 40 characters.
constexpr size_t kTimeTextSize = 40;

// The report messages in the order a cycle sends them; the pending bit of the
// t-th step (ReportBook) is 1 << t.
enum class ReportStep : uint8_t { kDevInfo, kRdo, kWdi, kRao, kWai, kGps };
constexpr size_t kStepCount = 6;
inline constexpr std::array<ReportStep, kStepCount> kSteps = {
    ReportStep::kDevInfo, ReportStep::kRdo, ReportStep::kWdi,
    ReportStep::kRao,     ReportStep::kWai, ReportStep::kGps};

constexpr size_t step_index(ReportStep step) {
  return static_cast<size_t>(step);
}

// The step that follows in a cycle; after GPS the next cycle's DEVINFO.
constexpr ReportStep next_step(ReportStep step) {
  switch (step) {
    case ReportStep::kDevInfo:
      return ReportStep::kRdo;
    case ReportStep::kRdo:
      return ReportStep::kWdi;
    case ReportStep::kWdi:
      return ReportStep::kRao;
    case ReportStep::kRao:
      return ReportStep::kWai;
    case ReportStep::kWai:
      return ReportStep::kGps;
    case ReportStep::kGps:
      break;
  }
  return ReportStep::kDevInfo;
}

// The pending bit of a step's request (ReportBook).
constexpr uint8_t step_bit(ReportStep step) {
  return static_cast<uint8_t>(1U << step_index(step));
}

// The Type of each step's answer, indexed by step.
inline constexpr std::array<std::string_view, kStepCount> kAnswerTypes = {"DEVINFO", "RDO", "WDI",
                                                                          "RAO",     "WAI", "WGPS"};

// The values of a DEVINFO message: three from the modem, and value 4, "0"
// unless the options ask for the mask of unreachable devices there.
struct DevInfoValues {
  int32_t value1 = 0;        // 5th field of the engineering report
  char value2[10] = "NULL";  // 11th field when it is one character, else "NULL"
  int32_t value3 = 0;        // 8th field
  char value4[12] = "0";
};

using BuildResult = std::optional<size_t>;

// --- UDP frames -----------------------------------------------------------
BuildResult build_devinfo_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                                const DevInfoValues& values);
// RDO or RAO: the server is asked for count values.
BuildResult build_rdo_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            int32_t count);
BuildResult build_rao_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            int32_t count);
BuildResult build_wdi_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            std::span<const uint8_t> di_values);
BuildResult build_wai_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                            std::span<const uint16_t> ai_values);
BuildResult build_wgps_frame(std::span<char> out, int32_t session_id, int32_t packet_id,
                             const char* gps);

// "AT+ESOSEND=<sock>,<length>," with two upper-case hex digits per scrambled
// byte, then CR LF.
BuildResult build_esosend_line(std::span<char> out, int32_t sock_id,
                               std::span<const uint8_t> scrambled);

// --- MQTT payloads --------------------------------------------------------
BuildResult build_devinfo_payload(std::span<char> out, const DevInfoValues& values);
BuildResult build_di_payload(std::span<char> out, std::span<const uint8_t> di_values);
BuildResult build_ai_payload(std::span<char> out, std::span<const uint16_t> ai_values);
// GPS and acknowledgement payloads are their text unchanged.
BuildResult build_text_payload(std::span<char> out, const char* text);

// The board's local time as the JSON payloads carry it ("%Y-%m-%dT%H:%M:%SZ",
// the Z being a literal letter).
BuildResult format_json_time(std::span<char> out, std::time_t when);

struct JsonIds {
  const char* sensor_id;  // "id"
  const char* device_id;  // "deviceId"
  const char* time_text;  // "time"
};
// The JSON report template around a plain payload (DEVINFO, GPS, acknowledgement).
// Every text put in a JSON string (identities, time, payload) is escaped
// (json_escaped), so the document is valid whatever the text holds.
BuildResult wrap_json(std::span<char> out, const JsonIds& ids, const char* payload);
// The DI and AI templates: the value string is "<session ID>/DI/<hex>" or
// "<session ID>/AI/<hex>".
BuildResult wrap_json_di(std::span<char> out, const JsonIds& ids, int32_t session_id,
                         const char* hex);
BuildResult wrap_json_ai(std::span<char> out, const JsonIds& ids, int32_t session_id,
                         const char* hex);

// "AT+EMQPUB=<id>,\"<topic>\",1,0,0,<length>," with two upper-case hex digits
// per payload byte, then CR LF.
BuildResult build_emqpub_line(std::span<char> out, int32_t mqtt_id, const char* topic,
                              std::string_view payload);

// --- a session's inputs as one message ---------------------------------------
// DI values are bytes, AI values 16-bit: which of the two says the type.
using InputValues = std::variant<std::span<const uint8_t>, std::span<const uint16_t>>;

struct InputMessage {
  const char* name;    // "WDI", "WAI" over UDP; "DI", "AI" over MQTT
  const char* topic;   // the publication's topic; null over UDP
  BuildResult length;  // of the text in `out`; nothing when it did not fit
};

// Which message a session's DI or AI values become with the transport the
// settings choose, and its text into `out`: the WDI or WAI frame over UDP, the
// DI or AI payload over MQTT, wrapped in JSON (time `now`) when the settings
// ask for it. `scratch` holds the plain payload while it is wrapped. The
// daemon's report loop and quorvane-check both take their messages from here.
InputMessage build_input_message(std::span<char> out, std::span<char> scratch,
                                 const Settings& settings, int32_t session_id, int32_t packet_id,
                                 InputValues values, std::time_t now);

// --- the modem's engineering report ------------------------------------------
// The DEVINFO values from an answer to AT*MENGINFO=0; without a line holding
// "MENGINFOSC", or with too few fields, the missing values read 0 and "NULL".
DevInfoValues parse_menginfo(std::string_view response);
