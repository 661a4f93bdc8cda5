#include "modem/at_link.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "config/records.h"
#include "messaging/codec.h"
#include "modem/at_commands.h"
#include "modem/downlink.h"
#include "modem/line_assembler.h"
#include "modem/modem_texts.h"
#include "modem/rx_queue.h"
#include "modem/urc.h"
#include "serial/uart.h"

namespace {

// Port numbers the serial layer accepts (0 to 32).
constexpr size_t kPorts = 33;
// Pause between two passes of the receive loop.
constexpr uint64_t kPassUs = 10000;
constexpr uint32_t kZrstLimitMs = 10000;
// Bytes a received datagram or publication may make (the payload buffer keeps
// a NUL after them: the frame handler takes text).
constexpr size_t kPayloadSize = 1024;
using Payload = std::array<uint8_t, kPayloadSize + 1>;

std::array<RxQueue, kPorts> rx_queues;

// Moves every byte waiting on the device into the port's queue.
void pull_waiting(uint8_t port, RxQueue& queue) {
  std::array<uint8_t, 1024> chunk;
  for (int waiting = UART_DataSizeInCom(port); waiting > 0;) {
    int want = std::min(waiting, static_cast<int>(chunk.size()));
    int got = UART_Recv(port, chunk.data(), want);
    if (got <= 0) break;
    size_t dropped = queue.push(chunk.data(), static_cast<size_t>(got));
    if (dropped > 0) std::printf(kTxtRxQueueFull, static_cast<unsigned>(port), dropped);
    waiting -= got;
  }
}

bool zrst_limit_applies(uint8_t port) {
  return port == modem_port && flag_ZRST.load() != 0;
}

uint32_t limit_ms(uint8_t port) {
  return zrst_limit_applies(port) ? kZrstLimitMs : static_cast<uint32_t>(recv_timeout) * 1000U;
}

// A time-out on the port: only the modem's raises flag_recv_timeout.
void report_timeout(uint8_t port, bool* timed_out) {
  if (port == modem_port) flag_recv_timeout = 1;
  if (timed_out != nullptr) *timed_out = true;
  console_line(zrst_limit_applies(port) ? kTxtZrstTimeoutLine : kTxtRecvTimeoutLine);
}

// The caller's response buffer, filled with whole lines and never past 1023
// characters.
class Response {
 public:
  explicit Response(char* buf) : buf_(buf) {}
  void append(std::string_view text) {
    if (used_ + text.size() >= static_cast<size_t>(kResponseSize)) {
      std::fputs(kTxtResponseFull, stdout);
      return;
    }
    std::memcpy(buf_ + used_, text.data(), text.size());
    used_ += text.size();
  }
  const char* c_str() const { return buf_; }

 private:
  char* buf_;
  size_t used_ = 0;
};

void drop_urc(const char* urc, const char* reason) {
  std::printf(kTxtUrcDropped, urc, reason);
}

// "+ESONMI=": a datagram; converted, unscrambled and handed to the frame handler.
void on_esonmi(const LineAssembler& line) {
  std::printf(kTxtEsonmi, line.c_str());
  std::string_view text = line.text();
  EsonmiParse parsed = parse_esonmi(text.substr(text.find(kUrcEsonmi)), kPayloadSize);
  if (!parsed.report) {
    drop_urc(kUrcEsonmi, parsed.reason);
    return;
  }
  const EsonmiReport& r = *parsed.report;
  std::array<char, LineAssembler::kCapacity + 1> hex{};
  copy_text(hex.data(), hex.size(), r.hex);  // a piece of the line: it fits
  std::printf(kTxtData, hex.data());
  std::printf(kTxtDataLength, r.count);
  console_line(kTxtReconstructLine);
  Payload payload{};
  recon_message(r.count, hex.data(), payload.data());
  if (decode_msg(payload.data(), r.count) != 0) {
    console_line(kTxtDealLine);
    deliver_udp_frame(reinterpret_cast<char*>(payload.data()), mb_num);
  }
}

// "+EMQPUB:": a publication; converted and, when it is a command, handed to the
// command handler. MQTT payloads are not scrambled.
void on_emqpub(const LineAssembler& line) {
  std::printf(kTxtEmqpub, line.c_str());
  auto pieces = split_emqpub(line.text());
  if (!pieces) {
    drop_urc(kUrcEmqpub, "fewer than four quoted pieces");
    return;
  }
  std::array<char, LineAssembler::kCapacity + 1> hex{};
  copy_text(hex.data(), hex.size(), pieces->hex);
  auto count = static_cast<int32_t>(pieces->hex.size() / 2);
  console_line(kTxtReconstructLine);
  Payload payload{};
  recon_message(count, hex.data(), payload.data());
  std::string_view payload_text = c_text(reinterpret_cast<const char*>(payload.data()), count);
  MqttCommandParse parsed = flag_mqtt_CHT != 0 ? mqtt_command_json(payload_text)
                                               : mqtt_command_plain(pieces->topic, payload_text);
  switch (parsed.kind) {
    case MqttParseKind::kNotDoAo:
      console_line(kTxtNotDoAoLine);
      break;
    case MqttParseKind::kDropped:
      drop_urc(kUrcEmqpub, parsed.reason);
      break;
    case MqttParseKind::kCommand:
      console_line(kTxtDealLine);
      deliver_mqtt_command(parsed.record, mb_num);
      break;
  }
}

enum class Outcome { kGoOn, kEnd };

// One complete line in response mode. Unsolicited reports come first; a line
// with a final result ends the call; other lines are collected; a line of two
// bytes or fewer (the "\r\n" ahead of each answer line) stays, and the next
// line is received behind it.
Outcome on_response_line(LineAssembler& line, Response& response) {
  std::string_view text = line.text();
  // A handled report ends the call when no command result is awaited.
  auto after_report = [&line]() {
    if (flag_wait_cmd.load() == 0) return Outcome::kEnd;
    line.clear();
    return Outcome::kGoOn;
  };
  if (contains(text, kUrcEsonmi)) {
    on_esonmi(line);
    return after_report();
  }
  if (contains(text, kUrcEmqpub)) {
    on_emqpub(line);
    // Only the text before the topic goes into the response.
    if (flag_wait_cmd.load() == 0) response.append(cut_at(text, "\""));
    return after_report();
  }
  if (contains(text, kUrcIp)) {
    std::printf(kTxtIp, line.c_str());
    return after_report();
  }
  if (contains(text, kUrcEmqdiscon)) {
    std::printf(kTxtEmqdiscon, line.c_str());
    flag_EMQDISCON = 1;
    return after_report();
  }
  if (contains(text, kResultOk) || contains(text, kResultError)) {
    response.append(text);
    flag_wait_cmd = 0;
    return Outcome::kEnd;
  }
  if (line.size() > 2) {
    response.append(text);
    line.clear();
  }
  return Outcome::kGoOn;
}

}  // namespace

int send_str(uint8_t port, const char* command) {
  std::printf(kTxtSend, command);
  return UART_Send(port, command, static_cast<int>(std::strlen(command)));
}

void send_recv_str(uint8_t port, const char* command, char* response) {
  send_str(port, command);
  flag_wait_cmd = 1;
  const uint32_t sent = GetTimeTicks();
  while (recv_str(port, response, 0) == 0) {
    if (ticks_elapsed(GetTimeTicks(), sent) > limit_ms(port)) {
      report_timeout(port, nullptr);
      std::printf(kTxtRecv, response);
      return;
    }
    clock_sleep_us(kPassUs);
  }
}

int recv_str(uint8_t port, char* response, uint8_t line_mode) {
  return recv_str(port, response, line_mode, nullptr);
}

int recv_str(uint8_t port, char* response, uint8_t line_mode, bool* timed_out) {
  std::memset(response, 0, kResponseSize);
  if (timed_out != nullptr) *timed_out = false;
  if (port >= kPorts) return 0;
  RxQueue& queue = rx_queues[port];
  pull_waiting(port, queue);
  if (queue.empty()) return 0;

  // The limit counts from the first byte and is never restarted.
  const uint32_t start = GetTimeTicks();
  LineAssembler line(line_mode != 0);
  Response collected(response);
  for (;;) {
    uint8_t byte = 0;
    while (queue.pop(byte)) {
      LineAssembler::Event ev = line.feed(byte);
      if (ev == LineAssembler::Event::kOverflow) {
        std::fputs(kTxtLineTooLong, stdout);
      } else if (ev == LineAssembler::Event::kLine) {
        if (line_mode != 0) {
          std::memcpy(response, line.c_str(), line.size());
          return 1;
        }
        if (on_response_line(line, collected) == Outcome::kEnd) {
          std::printf(kTxtRecv, collected.c_str());
          return 1;
        }
      }
    }
    if (ticks_elapsed(GetTimeTicks(), start) > limit_ms(port)) {
      report_timeout(port, timed_out);
      std::printf(kTxtRecv, collected.c_str());
      return 1;
    }
    clock_sleep_us(kPassUs);
    pull_waiting(port, queue);
  }
}

void recon_message(int32_t count, const char* hex, uint8_t* out) {
  std::printf(kTxtHexString, 2 * count, hex);
  console_line(kTxtHexDataLine);
  if (count <= 0) return;
  const auto n = static_cast<size_t>(count);
  hex_to_bytes(std::string_view(hex, strnlen(hex, 2 * n)), n, out);
  // The bytes go out again as upper-case hex, a chunk at a time.
  constexpr size_t kChunk = 256;
  std::array<char, 2 * kChunk + 1> row;
  for (size_t i = 0; i < n; i += kChunk) {
    bytes_to_hex(out + i, std::min(kChunk, n - i), row.data());
    std::fputs(row.data(), stdout);
  }
}

void recv_reset(uint8_t port) {
  if (port < kPorts) rx_queues[port].clear();
}

bool line_waiting(uint8_t port) {
  if (port >= kPorts) return false;
  pull_waiting(port, rx_queues[port]);
  return rx_queues[port].holds('\n');
}
