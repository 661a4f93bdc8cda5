// One scan of 10 simulated Modbus TCP devices with all four types, against a
// bare libmodbus loop that makes the same connections and reads. Prints both
// wall times per scan and their ratio.

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <modbus.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "config/configuration.h"
#include "modbus/modbus_io.h"
#include "modbus_sim_client.h"

namespace {

constexpr int kDevices = 10;
constexpr int kPerType = 16;

ModbusSim* sim = nullptr;
DeviceList devices;
Mapping mapping{};

void configure() {
  devices.assign(kDevices, MbDevice{});
  for (int i = 0; i < kDevices; ++i) {
    MbDevice& d = devices[static_cast<size_t>(i)];
    d.slave_id = 1;
    d.do_count = d.di_count = d.ao_count = d.ai_count = kPerType;
    d.transport = DeviceTransport::kTcp;
    std::strcpy(d.ip_addr, "127.0.0.1");
    d.tcp_port = sim->devices[static_cast<size_t>(i)].port;
  }
  // One full session: 32 slots of each type spread over the devices.
  Mapping& io = mapping;
  io.session_count = 1;
  for (int k = 0; k < kMaxSlots; ++k) {
    MbMapEntry e{static_cast<uint8_t>(k % kDevices + 1), static_cast<uint8_t>(k / kDevices + 1)};
    io.do_map[0][k] = io.di_map[0][k] = io.ao_map[0][k] = io.ai_map[0][k] = e;
  }
  io.do_num[0] = io.di_num[0] = io.ao_num[0] = io.ai_num[0] = kMaxSlots;
}

// The engine logs every read; the figures should not include a terminal.
class QuietStdout {
 public:
  QuietStdout() : saved_(::dup(1)) {
    std::fflush(stdout);
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
  }

 private:
  int saved_;
};

void BM_Scan(benchmark::State& state) {
  configure();
  QuietStdout quiet;
  IoImage io;
  for (auto _ : state) scan_session(io, mapping, devices, 0);
}

void BM_BareLibmodbus(benchmark::State& state) {
  uint8_t bits[kMaxSlots], in_bits[kMaxSlots];
  uint16_t regs[kMaxSlots], in_regs[kMaxSlots];
  for (auto _ : state) {
    for (int i = 0; i < kDevices; ++i) {
      modbus_t* ctx = modbus_new_tcp("127.0.0.1", sim->devices[static_cast<size_t>(i)].port);
      modbus_set_slave(ctx, 1);
      if (modbus_connect(ctx) == -1) state.SkipWithError("connect failed");
      modbus_read_bits(ctx, 0, kPerType, bits);
      modbus_read_input_bits(ctx, 0, kPerType, in_bits);
      modbus_read_registers(ctx, 0, kPerType, regs);
      modbus_read_input_registers(ctx, 0, kPerType, in_regs);
      modbus_close(ctx);
      modbus_free(ctx);
    }
    benchmark::DoNotOptimize(in_regs);
  }
}

BENCHMARK(BM_BareLibmodbus)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Scan)->UseRealTime()->Unit(benchmark::kMicrosecond);

// Keeps each benchmark's real time per iteration for the ratio.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs)
      if (r.run_type == Run::RT_Iteration && r.iterations > 0)
        per_scan_us[r.benchmark_name()] =
            r.real_accumulated_time * 1e6 / static_cast<double>(r.iterations);
  }
  std::map<std::string, double> per_scan_us;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (!ModbusSim::available()) {
    std::fprintf(stderr, "modbus_sim not found next to this program\n");
    return 1;
  }
  // Board files of our own, so that the engine's board initialisation opens
  // them once as it would on the board.
  auto root = std::filesystem::temp_directory_path() / ("mb_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "dev");
  std::ofstream(root / "dev/mem").put('\0');
  std::ofstream(root / "dev/GPIO").put('\0');
  ::setenv("QUORVANE_ROOT", root.c_str(), 1);

  ModbusSim devices;
  std::vector<std::string> args;
  for (int i = 0; i < kDevices; ++i) args.insert(args.end(), {"--tcp", "0"});
  if (!devices.start(args)) return 1;
  sim = &devices;

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto scan = reporter.per_scan_us.find("BM_Scan/real_time");
  auto bare = reporter.per_scan_us.find("BM_BareLibmodbus/real_time");
  if (scan != reporter.per_scan_us.end() && bare != reporter.per_scan_us.end())
    std::printf("scan of %d TCP devices: %.1f us, bare libmodbus loop: %.1f us, ratio %.3f\n",
                kDevices, scan->second, bare->second, scan->second / bare->second);
  std::filesystem::remove_all(root);
  return 0;
}
