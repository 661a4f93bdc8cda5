// Intake of the receive routine: "+ESONMI=" lines carrying 112-byte datagrams
// go through a pseudo-terminal into the AT channel, which hands each decoded frame
// to the downlink handler. Prints the sustained intake in bytes per second and
// the delay from a line's last byte (written by the far end) to the handler
// call, for two feeds: as fast as the pty takes them, and paced as a 9600 bit/s
// modem sends (960 bytes per second). Figures only; nothing is asserted.
//
//   modem_intake_bench [lines at full speed (2000)] [lines paced (24)]
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/console.h"
#include "common/text.h"
#include "common/unique_fd.h"
#include "config/fixed_settings.h"
#include "messaging/codec.h"
#include "messaging/downlink_reports.h"
#include "modem/at_link.h"
#include "serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFrameBytes = 112;

std::string hex_of(const uint8_t* bytes, size_t n) {
  std::string out(2 * n + 1, '\0');
  bytes_to_hex(bytes, n, out.data());
  out.pop_back();
  return out;
}

// Frame i: "AE,<i>," and filler up to 112 bytes, scrambled as the server does.
std::string esonmi_line(int i) {
  std::array<uint8_t, kFrameBytes + 16> frame{};
  std::snprintf(reinterpret_cast<char*>(frame.data()), frame.size(), "AE,%06d,", i);
  for (size_t k = 10; k < kFrameBytes - 3; ++k) frame[k] = static_cast<uint8_t>('a' + k % 26);
  std::memcpy(frame.data() + kFrameBytes - 3, ",EA", 3);
  auto len = static_cast<int32_t>(kFrameBytes);
  encode_msg(frame.data(), &len);
  return "+ESONMI=0," + std::to_string(len) + "," + hex_of(frame.data(), static_cast<size_t>(len)) +
         "\r\n";
}

struct Run {
  std::vector<Clock::time_point> written;  // last byte of line i written
  std::vector<Clock::time_point> handled;  // handler called for frame i
  std::atomic<int> calls{0};
  int bad = 0;  // frames that came back wrong
};

Run* current = nullptr;

void on_frame(char* frame) {
  Clock::time_point now = Clock::now();
  int i = std::atoi(frame + 3);
  if (current == nullptr || i < 0 || static_cast<size_t>(i) >= current->handled.size() ||
      std::strncmp(frame, "AE,", 3) != 0 || std::strlen(frame) != kFrameBytes) {
    if (current != nullptr) ++current->bad;
    return;
  }
  current->handled[static_cast<size_t>(i)] = now;
  ++current->calls;
}

void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) continue;  // a blocking master only fails on a signal
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Feeds the lines (paced at bytes_per_s, or as fast as possible when 0), then
// "\r\nOK\r\n" to end the receive call.
void feed(int master, const std::vector<std::string>& lines, Run& run, int bytes_per_s) {
  Clock::time_point start = Clock::now();
  size_t sent = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (bytes_per_s == 0) {
      write_all(master, line.data(), line.size());
    } else {
      // A UART delivers a few bytes at a time: 8-byte chunks on the byte clock.
      for (size_t pos = 0; pos < line.size(); pos += 8) {
        size_t n = std::min<size_t>(8, line.size() - pos);
        sent += n;
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(sent * 1000000 / bytes_per_s));
        write_all(master, line.data() + pos, n);
      }
    }
    run.written[i] = Clock::now();
  }
  write_all(master, "\r\nOK\r\n", 6);
}

struct Figures {
  double bytes_per_s;
  double median_ms, p99_ms, max_ms;
  int received, lost, bad;
};

// One receive call in the report loop's wait (a result awaited), taking in
// every line until the closing OK.
Figures measure(AtChannel& modem, int master, int n, int bytes_per_s) {
  std::vector<std::string> lines;
  size_t total = 0;
  for (int i = 0; i < n; ++i) {
    lines.push_back(esonmi_line(i));
    total += lines.back().size();
  }
  Run run;
  run.written.resize(static_cast<size_t>(n));
  run.handled.resize(static_cast<size_t>(n));
  current = &run;

  AtReply reply;
  modem.reset_all_for_test();
  modem.await_answer_to_for_test("AT\r\n");
  Clock::time_point start = Clock::now();
  std::thread writer(feed, master, std::cref(lines), std::ref(run), bytes_per_s);
  bool timed_out = false;
  while (modem.awaiting() && !timed_out) {
    if (!modem.receive(reply, &timed_out)) clock_sleep_us(1000);
  }
  writer.join();
  current = nullptr;

  Figures f{};
  f.received = run.calls.load();
  f.lost = n - f.received;
  f.bad = run.bad;
  std::vector<double> delays;
  Clock::time_point last = start;
  for (size_t i = 0; i < run.handled.size(); ++i) {
    if (run.handled[i] == Clock::time_point{}) continue;
    last = std::max(last, run.handled[i]);
    delays.push_back(
        std::chrono::duration<double, std::milli>(run.handled[i] - run.written[i]).count());
  }
  std::sort(delays.begin(), delays.end());
  double secs = std::chrono::duration<double>(last - start).count();
  f.bytes_per_s = secs > 0 ? static_cast<double>(total) / secs : 0;
  if (!delays.empty()) {
    f.median_ms = delays[delays.size() / 2];
    f.p99_ms = delays[std::min(delays.size() - 1, delays.size() * 99 / 100)];
    f.max_ms = delays.back();
  }
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  int full_lines = argc > 1 ? std::atoi(argv[1]) : 2000;
  int paced_lines = argc > 2 ? std::atoi(argv[2]) : 24;

  std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) return 1;
  std::filesystem::path root = tmpl;
  std::filesystem::create_directories(root / "dev");
  setenv("QUORVANE_ROOT", root.c_str(), 1);
  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY));
  if (!master.valid() || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) return 1;
  std::filesystem::create_symlink(ptsname(master.get()), root / "dev/ttyUSB0");
  SerialPort port("/dev/ttyUSB0", modem_port);
  if (port.open_line({9600, 8, Parity::kNone, 1}) != 0) return 1;
  AtChannel modem(port);
  install_report_decoders(modem, {on_frame, nullptr});

  // The dispatcher's console lines go nowhere; the figures to stdout.
  struct : ConsoleSink {
    void write(ConsoleStream /*stream*/, std::string_view /*text*/) override {}
  } quiet;
  console().set_sink(&quiet);

  const size_t line_bytes = esonmi_line(0).size();
  Figures full = measure(modem, master.get(), full_lines, 0);
  Figures paced = measure(modem, master.get(), paced_lines, 960);

  console().set_sink(nullptr);
  std::printf("+ESONMI intake, %zu-byte datagrams (%zu-byte lines)\n", kFrameBytes, line_bytes);
  for (auto [name, f, n] : {std::tuple{"full speed", full, full_lines},
                            std::tuple{"paced 960 B/s", paced, paced_lines}}) {
    std::printf(
        "  %-14s %5d lines: intake %10.0f B/s, received %d, lost %d, bad %d; "
        "last byte -> handler: median %.2f ms, p99 %.2f ms, max %.2f ms\n",
        name, n, f.bytes_per_s, f.received, f.lost, f.bad, f.median_ms, f.p99_ms, f.max_ms);
  }
  std::filesystem::remove_all(root);
  return 0;
}
