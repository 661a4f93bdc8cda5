// The receive dispatcher on arbitrary modem bytes: the real receive routine
// reading the modem port, a pseudo-terminal whose far end this target writes.
// Byte 0 sets the state the bytes meet (bit 0: a command result is awaited,
// bit 1: JSON command payloads, bit 2: SMS4 rather than the substitution
// table); the rest (at most 3000 bytes) is what the modem sends, followed by a
// final "\r\nOK\r\n" so that every call ends at a line. The receive routine is
// called until nothing is left waiting. Responses, frames and commands must
// stay inside their buffers; the downlink handlers get NUL-terminated texts.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "common/clock.h"
#include "common/unique_fd.h"
#include "config/records.h"
#include "fuzz_check.h"
#include "messaging/codec.h"
#include "modem/at_link.h"
#include "modem/downlink.h"
#include "serial/uart.h"

namespace {

constexpr size_t kMaxInput = 3000;
constexpr char kFinal[] = "\r\nOK\r\n";
// The payload buffer handed to the frame handler: 1024 bytes and a NUL.
constexpr size_t kFrameBuffer = 1025;

// The modem port on a pseudo-terminal under a private QUORVANE_ROOT, with a
// virtual clock so that the receive routine's waits cost no real time.
struct ModemPort {
  VirtualClock clock;
  std::unique_ptr<ScopedClock> clock_guard;
  std::filesystem::path root;
  UniqueFd master;

  ModemPort() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane-fuzz-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(tmpl.data()) != nullptr);
    root = tmpl;
    std::filesystem::create_directories(root / "dev");
    setenv("QUORVANE_ROOT", root.c_str(), 1);
    master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    FUZZ_CHECK(master.valid() && grantpt(master.get()) == 0 && unlockpt(master.get()) == 0);
    std::filesystem::create_symlink(ptsname(master.get()), root / "dev" / "ttyUSB0");
    FUZZ_CHECK(UART_Init(modem_port, 9600, 8, 0, 0) == 0);
    clock_guard = std::make_unique<ScopedClock>(clock);
    allocate_records();
    set_downlink_handlers(
        [](char* frame, int32_t) { FUZZ_CHECK(strnlen(frame, kFrameBuffer) < kFrameBuffer); },
        [](MqttDownlink r, int32_t) {
          FUZZ_CHECK(strnlen(r.type, sizeof r.type) < sizeof r.type);
          FUZZ_CHECK(strnlen(r.data, sizeof r.data) == r.length);
        });
  }

  ~ModemPort() {
    UART_Close(modem_port);
    set_downlink_handlers(nullptr, nullptr);
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  ModemPort(const ModemPort&) = delete;
  ModemPort& operator=(const ModemPort&) = delete;

  // Writes the bytes as the modem (in pieces when the terminal layer takes
  // them so) and waits, bounded in real time, until the port holds all of them.
  void send(const std::string& bytes) {
    size_t sent = 0;
    for (int tries = 0; sent < bytes.size() && tries < 1000; ++tries) {
      ssize_t n = write(master.get(), bytes.data() + sent, bytes.size() - sent);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else {
        pollfd p{master.get(), POLLOUT, 0};
        poll(&p, 1, 10);
      }
    }
    FUZZ_CHECK(sent == bytes.size());
    for (int i = 0; i < 20000 && UART_DataSizeInCom(modem_port) < static_cast<int>(bytes.size());
         ++i) {
      if (i < 1000) {
        sched_yield();
      } else {
        poll(nullptr, 0, 1);
      }
    }
    FUZZ_CHECK(UART_DataSizeInCom(modem_port) == static_cast<int>(bytes.size()));
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
  flag_mqtt_CHT = (data[0] & 2) != 0 ? 1 : 0;
  flag_sms4 = (data[0] & 4) != 0 ? 1 : 0;
  flag_recv_timeout = 0;
  flag_EMQDISCON = 0;
  recv_reset(modem_port);
  // Bit 0: a command's answer is awaited (its echo may be in the input too).
  if ((data[0] & 1) != 0) at_channel(modem_port).await_answer_to("AT+CSQ\r\n");

  std::string bytes(reinterpret_cast<const char*>(data + 1), std::min(size - 1, kMaxInput));
  bytes += kFinal;
  port->send(bytes);

  auto response = std::make_unique<std::array<char, kResponseSize>>();
  // Each call that finds bytes ends at a line, so there are at most as many
  // calls as lines.
  for (size_t calls = 0; recv_str(modem_port, response->data(), 0) != 0; ++calls) {
    FUZZ_CHECK(calls <= bytes.size());
    FUZZ_CHECK(strnlen(response->data(), response->size()) < response->size());
  }
  FUZZ_CHECK(UART_DataSizeInCom(modem_port) == 0);
  return 0;
}
