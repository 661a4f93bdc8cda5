// The receive dispatcher on arbitrary modem bytes: the real receive routine on
// the modem port, a port in memory whose far end this target plays. Byte 0
// sets the state (bit 0: a command result is awaited, bit 1: JSON command
// payloads, bit 2: SMS4 rather than the table); the rest (at most 3000 bytes)
// is what the modem sends, then "\r\nOK\r\n" so that every call ends at a line.
// Responses, frames and commands stay inside their buffers; the downlink
// handlers get NUL-terminated texts.
#include <algorithm>
#include <array>
#include <memory>
#include <string>

#include "common/clock.h"
#include "config/fixed_settings.h"
#include "fuzz_check.h"
#include "memory_stream.h"
#include "messaging/codec.h"
#include "messaging/downlink_reports.h"
#include "modem/at_link.h"
#include "test_support.h"

namespace {

constexpr size_t kFrameBuffer = 1025;  // the payload buffer handed to the frame handler

// The modem port, with a virtual clock so that the receive routine's waits
// cost no real time.
struct ModemPort {
  MemoryStream modem{modem_port};
  VirtualClock clock;
  ScopedClock clock_guard{clock};
  AtChannel at{modem};
  ModemPort() { install(false); }
  void install(bool json) {
    install_report_decoders(
        at, {[](char* frame) { FUZZ_CHECK(strnlen(frame, kFrameBuffer) < kFrameBuffer); },
             [](MqttDownlink r) {
               FUZZ_CHECK(strnlen(r.type, sizeof r.type) < sizeof r.type);
               FUZZ_CHECK(strnlen(r.data, sizeof r.data) == r.length);
             },
             json});
  }
};

ModemPort* port = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static ModemPort the_port;
  port = &the_port;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  port->install((data[0] & 2) != 0);
  port->at.reset_all_for_test();
  // Bit 0: a command's answer is awaited (its echo may be in the input too).
  if ((data[0] & 1) != 0) port->at.await_answer_to_for_test("AT+CSQ\r\n");

  std::string bytes =
      std::string(fuzz_text(data + 1, std::min(size - 1, size_t{3000}))) + "\r\nOK\r\n";
  port->modem.deliver(bytes);

  auto reply = std::make_unique<AtReply>();
  // Each call that finds bytes ends at a line: at most as many calls as lines.
  for (size_t calls = 0; port->at.receive(*reply); ++calls) {
    FUZZ_CHECK(calls <= bytes.size());
    FUZZ_CHECK(strnlen(reply->text.data(), reply->text.size()) < reply->text.size());
  }
  FUZZ_CHECK(port->modem.waiting() == 0);
  return 0;
}
