// The Modbus function engine, the scan and the write-back against simulated
// devices (the bench kit's modbus_sim) over real libmodbus traffic.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "app/polling.h"
#include "common/clock.h"
#include "modbus/board.h"
#include "modbus/modbus_io.h"
#include "modbus_sim_client.h"
#include "test_support.h"

namespace {

constexpr int kClosedPort = 1;  // privileged: nothing listens on it on loopback
using enum IoResult;

// Every simulated device keeps its four types at 100, 200, 300 and 400.
MbDevice device_at(const ModbusSim::Device& s, int do_n, int di_n, int ao_n, int ai_n) {
  MbDevice d{};
  d.slave_id = s.tcp ? 1 : 7;
  d.do_count = *SlotCount::of(do_n), d.di_count = *SlotCount::of(di_n);
  d.ao_count = *SlotCount::of(ao_n), d.ai_count = *SlotCount::of(ai_n);
  d.do_start = 100, d.di_start = 200, d.ao_start = 300, d.ai_start = 400;
  d.transport = s.tcp ? DeviceTransport::kTcp : DeviceTransport::kRtu;
  std::strcpy(d.ip_addr, "127.0.0.1");
  d.tcp_port = s.port;
  std::strncpy(d.serial_dev, s.path.c_str(), sizeof d.serial_dev - 1);
  d.baud = 115200, d.parity = 'N', d.data_bits = 8, d.stop_bits = 1;
  return d;
}

struct Buffers {
  uint8_t do_buf[32], di_buf[32];
  uint16_t ao_buf[32], ai_buf[32];
  Buffers() {
    std::memset(do_buf, 0xEE, sizeof do_buf);
    std::memset(di_buf, 0xEE, sizeof di_buf);
    std::fill(std::begin(ao_buf), std::end(ao_buf), 0xEEEE);
    std::fill(std::begin(ai_buf), std::end(ai_buf), 0xEEEE);
  }
  IoResult fc(const MbDevice& d, int32_t f) {
    return modbus_exchange(do_buf, di_buf, ao_buf, ai_buf, &d, static_cast<Function>(f)).result;
  }
};

class ModbusTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ModbusSim::available()) << ModbusSim::binary() << " is not built";
  }
  // Devices of the given kinds ("tcp", "rtu"), 40 values of each type.
  void start(const std::vector<std::string>& kinds, ModbusSim& sim) {
    std::vector<std::string> args;
    for (const auto& k : kinds) {
      if (k == "tcp")
        args.insert(args.end(), {"--tcp", "0"});
      else
        args.insert(args.end(), {"--rtu", "--slave", "7"});
      for (auto b : {"do:100:40", "di:200:40", "ao:300:40", "ai:400:40"})
        args.insert(args.end(), {"--block", b});
    }
    ASSERT_TRUE(sim.start(args));
  }
  void start(const std::vector<std::string>& kinds) { start(kinds, sim_); }
  MbDevice device(int i, int do_n, int di_n, int ao_n, int ai_n) {
    return device_at(sim_.devices.at(static_cast<size_t>(i)), do_n, di_n, ao_n, ai_n);
  }
  // Control lines ("set 0 do 100 1 0", "fail 0 2"), each answered "ok".
  void sim(std::initializer_list<std::string> lines) {
    for (const auto& l : lines) ASSERT_EQ(sim_.cmd(l), "ok") << l;
  }
  std::string get(const std::string& what) { return sim_.cmd("get " + what).substr(3); }
  void map(IoType t, int s, const char* line) { support::map_line(mapping_, t, s, line); }
  IoResult scan(int s) { return scan_session(io_, mapping_, devices_, s); }

  support::ScopedConsoleCapture console;
  support::TempRoot root_;  // the engine opens <root>/dev/mem and <root>/dev/GPIO
  ModbusSim sim_;
  IoImage io_;
  DeviceList devices_;
  Mapping mapping_{};
};

TEST_F(ModbusTest, FunctionZeroReadsAllFourTypesOverTcpAndRtu) {
  start({"tcp", "rtu"});
  for (int i = 0; i < 2; ++i) {
    const std::string d = "set " + std::to_string(i);
    sim({d + " do 100 1 0 1", d + " di 200 0 1", d + " ao 300 500 65535", d + " ai 400 7 8"});
    Buffers b;
    EXPECT_EQ(b.fc(device(i, 3, 2, 2, 2), 0), kOk);
    EXPECT_EQ(console.take(),
              "[Read  DO] Number:3, Value:[1, 0, 1]\r\n[Read  DI] Number:2, Value:[0, 1]\r\n"
              "[Read  AO] Number:2, Value:[500, 65535]\r\n[Read  AI] Number:2, Value:[7, 8]\r\n");
    EXPECT_EQ(sim_.requests(i), "1:100:3 2:200:2 3:300:2 4:400:2");
    EXPECT_EQ(b.do_buf[2], 1);
    EXPECT_EQ(b.do_buf[3], 0xEE);  // nothing beyond the count
    EXPECT_EQ(b.ao_buf[1], 65535);
  }
}

TEST_F(ModbusTest, EachFunctionCodeSendsItsRequestsOnly) {
  start({"tcp"});
  sim({"set 0 do 100 1", "set 0 di 200 1", "set 0 ao 300 11", "set 0 ai 400 22"});
  struct Case {
    int function, counts[4];
    const char* requests;
  };
  const Case cases[] = {{1, {1, 1, 1, 1}, "1:100:1"},
                        {2, {1, 1, 1, 1}, "2:200:1"},
                        {3, {1, 1, 1, 1}, "3:300:1"},
                        {4, {1, 1, 1, 1}, "4:400:1"},
                        {15, {1, 0, 0, 0}, "15:100:1"},
                        {16, {0, 0, 1, 0}, "16:300:1"},
                        // Counts of 0 and codes without a request: connected and closed, silent.
                        {0, {0, 0, 0, 0}, ""},
                        {15, {0, 5, 5, 5}, ""},
                        {1, {0, 5, 5, 5}, ""},
                        {7, {4, 0, 3, 0}, ""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    Buffers b;
    long before = sim_.connections(0);
    EXPECT_EQ(b.fc(device(0, c.counts[0], c.counts[1], c.counts[2], c.counts[3]), c.function), kOk);
    EXPECT_EQ(console.take().empty(), *c.requests == '\0');
    EXPECT_EQ(sim_.requests(0), c.requests);
    EXPECT_EQ(sim_.connections(0), before + 1);
    if (*c.requests == '\0' || c.function > 4) continue;
    EXPECT_EQ(b.do_buf[0], c.function == 1 ? 1 : 0xEE);
    EXPECT_EQ(b.di_buf[0], c.function == 2 ? 1 : 0xEE);
    EXPECT_EQ(b.ao_buf[0], c.function == 3 ? 11 : 0xEEEE);
    EXPECT_EQ(b.ai_buf[0], c.function == 4 ? 22 : 0xEEEE);
  }
  // Writes send whole blocks.
  Buffers b;
  const uint8_t coils[4] = {1, 0, 0, 1};
  const uint16_t regs[3] = {9, 65535, 0};
  std::copy(coils, coils + 4, b.do_buf);
  std::copy(regs, regs + 3, b.ao_buf);
  EXPECT_EQ(b.fc(device(0, 4, 0, 3, 0), 15), kOk);
  EXPECT_EQ(b.fc(device(0, 4, 0, 3, 0), 16), kOk);
  EXPECT_EQ(
      console.take(),
      "[Write DO] Number:4, Value:[1, 0, 0, 1]\r\n[Write AO] Number:3, Value:[9, 65535, 0]\r\n");
  EXPECT_EQ(get("0 do 100 4") + " " + get("0 ao 300 3"), "1 0 0 1 9 65535 0");
}

TEST_F(ModbusTest, OutputsReportedAsInputsFollowTheRealInputs) {
  start({"tcp"});
  sim({"set 0 do 100 1 1 0 1 0 0 1 1", "set 0 di 200 1 0 1 1", "set 0 ao 300 10 20",
       "set 0 ai 400 5"});
  // 8 coils and 4 real inputs; 2 holding registers and 1 real input register.
  MbDevice d = device(0, 8, 12, 2, 3);
  d.do_as_di = d.ao_as_ai = true;
  Buffers b;
  EXPECT_EQ(b.fc(d, 0), kOk);
  EXPECT_NE(console.take().find("[Read  DI] Number:4, Value:[1, 0, 1, 1]\r\n"), std::string::npos);
  EXPECT_EQ(sim_.requests(0), "1:100:8 2:200:4 3:300:2 4:400:1");
  const uint8_t di[13] = {1, 0, 1, 1, 1, 1, 0, 1, 0, 0, 1, 1, 0xEE};
  EXPECT_EQ(0, std::memcmp(b.di_buf, di, sizeof di));
  EXPECT_EQ(b.ai_buf[0], 5);
  EXPECT_EQ(b.ai_buf[2], 20);

  // No real inputs: no DI (AI) request; the outputs fill from element 0.
  MbDevice only = device(0, 8, 8, 2, 2);
  only.do_as_di = only.ao_as_ai = true;
  Buffers c;
  EXPECT_EQ(c.fc(only, 0), kOk);
  EXPECT_EQ(console.take().find("DI]"), std::string::npos);
  EXPECT_EQ(sim_.requests(0), "1:100:8 3:300:2");
  EXPECT_EQ(0, std::memcmp(c.di_buf, di + 4, 8));
  EXPECT_EQ(c.ai_buf[1], 20);
}

TEST_F(ModbusTest, FailedRequestsArePrintedAndNoLinkIsUnreachable) {
  start({"tcp"});
  sim({"fail 0 2", "fail 0 15", "set 0 ai 400 42"});
  MbDevice d = device(0, 1, 1, 1, 1);
  Buffers b;
  EXPECT_EQ(b.fc(d, 0), kReadError);  // the exchange goes on
  std::string log = console.take();
  EXPECT_NE(log.find("[Error] Read DI error\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("[Read  AI] Number:1, Value:[42]\r\n"), std::string::npos) << log;
  EXPECT_EQ(b.fc(d, 15), kOk);  // a failed write is only printed
  EXPECT_EQ(console.take(), "[Error] Write DO error\r\n");

  MbDevice bad_parity = device_at({false, 0, "/dev/null"}, 0, 0, 0, 0);
  bad_parity.parity = 'X';
  EXPECT_EQ(b.fc(device_at({true, kClosedPort, ""}, 1, 1, 1, 1), 0), kUnreachable);
  EXPECT_EQ(b.fc(device_at({false, 0, "/nonexistent/tty"}, 1, 0, 0, 0), 0), kUnreachable);
  EXPECT_EQ(b.fc(bad_parity, 0), kUnreachable);
  EXPECT_EQ(console.take(ConsoleStream::kErr),
            "[Error] Connection failed\n[Error] Connection failed\n"
            "[Error] Unable to allocate libmodbus context\n");

  // Each failed step is a fault with its cause (what quorvane-check shows).
  MbDevice closed = device_at({true, kClosedPort, ""}, 1, 1, 1, 1);
  Exchange refused =
      modbus_exchange(b.do_buf, b.di_buf, b.ao_buf, b.ai_buf, &closed, Function::kReadAll);
  ASSERT_EQ(refused.faults.size(), 1u);
  EXPECT_EQ(refused.faults[0].what, "[Error] Connection failed");
  EXPECT_EQ(refused.faults[0].error_number, ECONNREFUSED);
  EXPECT_EQ(refused.faults[0].library_text, std::strerror(ECONNREFUSED));
  Exchange read = modbus_exchange(b.do_buf, b.di_buf, b.ao_buf, b.ai_buf, &d, Function::kReadAll);
  ASSERT_EQ(read.faults.size(), 1u);
  EXPECT_EQ(read.faults[0].what, "[Error] Read DI error");
  EXPECT_NE(read.faults[0].error_number, 0);
  console.take(ConsoleStream::kErr);
}

// The scan and the write-back stop at the device; the polling thread ends the process.
TEST_F(ModbusTest, UnreachableDeviceEndsThePollingThread) {
  devices_ = {device_at({false, 0, "/nonexistent/tty"}, 1, 0, 0, 0)};
  map(IoType::DO, 0, "1-1,");
  uint8_t on = 1;
  EXPECT_EQ(scan(0), kUnreachable);
  EXPECT_EQ(write_back(io_, mapping_, devices_, 0, &on, nullptr), kUnreachable);
  EXPECT_EQ(console.take(), "Before writing DO values[1]:\n1-1,\n0,\n[Modbus 00]\n");
  EXPECT_EQ(console.take(ConsoleStream::kErr),
            "[Error] Connection failed\n[Error] Connection failed\n");
  devices_ = {device_at({true, kClosedPort, ""}, 1, 0, 0, 0)};
  PollingJob job{io_, mapping_, devices_};
  EXPECT_EXIT((support::console_to_stderr(), polling_thread(&job)), testing::ExitedWithCode(1),
              "\r\n<--- Modbus Polling Start --->\r\n\\[Error\\] Connection failed\n\\[Error\\] "
              "modbusFC error!!");
}

TEST_F(ModbusTest, ScanFillsTheSessionSlotsFromEveryDevice) {
  start({"tcp", "tcp"});
  devices_ = {device(0, 3, 2, 2, 1), device(1, 2, 0, 1, 0)};
  sim({"set 0 do 100 0 1 1", "set 0 di 200 1 1", "set 0 ao 300 1000 2000", "set 0 ai 400 77",
       "set 1 do 100 1 0", "set 1 ao 300 3000"});
  // DO: dev1 ch2, empty, dev2 ch1, dev9 ch1 (no such device), dev1 ch4 (no such channel).
  map(IoType::DO, 0, "1-2,0-0,2-1,9-1,1-4,");
  map(IoType::DI, 0, "1-2,");
  map(IoType::AO, 0, "2-1,1-2,");
  map(IoType::AI, 0, "1-1,");
  support::store_values(io_, 0, {.do_value = {9, 9, 9, 9, 9}});
  EXPECT_EQ(scan(0), kOk);
  console.take();
  const SessionValues v = io_.copy(0);
  EXPECT_EQ(std::vector<int>(v.do_value, v.do_value + 6), (std::vector<int>{1, 0, 1, 0, 0, 0}));
  EXPECT_EQ(std::vector<int>({v.di_value[0], v.ao_value[0], v.ao_value[1], v.ai_value[0]}),
            (std::vector<int>{1, 3000, 2000, 77}));

  // A session that names only device 1 still reads device 2.
  for (IoType t : kIoTypes) map(t, 0, t == IoType::DO ? "1-1," : "");
  sim_.requests(1);
  scan(0);
  console.take();
  EXPECT_EQ(sim_.requests(1), "1:100:2 3:300:1");
}

TEST_F(ModbusTest, ReadErrorRestoresTheSessionsOwnLastGoodValues) {
  start({"tcp"});
  devices_ = {device(0, 2, 0, 2, 0)};
  for (int s = 0; s < 2; ++s) {
    map(IoType::DO, s, s == 0 ? "1-1," : "1-2,");
    map(IoType::AO, s, s == 0 ? "1-1," : "1-2,");
  }
  sim({"set 0 do 100 1 0", "set 0 ao 300 111 222", "fail 0 3"});
  EXPECT_EQ(scan(0), kReadError);  // before any error-free scan: zeros
  EXPECT_EQ(io_.copy(0).do_value[0] + io_.copy(0).ao_value[0], 0);
  sim({"heal 0"});
  EXPECT_EQ(scan(0), kOk);
  scan(1);
  sim({"set 0 do 100 0 1", "set 0 ao 300 5 6", "fail 0 3"});
  scan(0);
  console.take();
  EXPECT_EQ(io_.copy(0).do_value[0], 1);  // the read DO value of 0 is not taken either
  EXPECT_EQ(io_.copy(0).ao_value[0], 111);
  EXPECT_EQ(io_.copy(1).ao_value[0], 222);
}

TEST_F(ModbusTest, WriteBackChangesMappedOutputsOnly) {
  start({"tcp", "tcp", "rtu"});
  MbDevice as_di = device(1, 2, 2, 0, 0);
  as_di.do_as_di = true;
  devices_ = {device(0, 4, 0, 3, 0), as_di, device(2, 0, 0, 2, 0)};
  map(IoType::DO, 0, "1-1,1-3,2-2,");
  map(IoType::AO, 0, "1-2,3-1,3-2,");
  sim({"set 0 do 100 0 1 0 1", "set 0 ao 300 7 8 9", "set 1 do 100 0 0", "set 2 ao 300 1 2"});
  support::store_values(io_, 0, {.do_value = {0, 1}});

  // Both arrays given and DO slots present: only the DO values go out.
  const uint8_t coils[3] = {1, 0, 1};
  const uint16_t regs[3] = {80, 10, 20};
  EXPECT_EQ(write_back(io_, mapping_, devices_, 0, coils, regs), kOk);
  EXPECT_EQ(console.take(),
            "Before writing DO values[3]:\n1-1,1-3,2-2,\n0,1,0,\n"
            "[Modbus 00]\n[Write DO] Number:4, Value:[1, 1, 0, 1]\r\n[Modbus 02]\n");
  EXPECT_EQ(get("0 do 100 4"), "1 1 0 1");  // channels 2 and 4 kept
  EXPECT_EQ(get("1 do 100 2"), "0 0");      // do_as_di: not written...
  EXPECT_EQ(sim_.requests(1), "");
  EXPECT_EQ(get("0 ao 300 3"), "7 8 9");
  const uint8_t image[3] = {1, 0, 1};  // ...but in the image
  EXPECT_EQ(0, std::memcmp(io_.copy(0).do_value, image, 3));

  // AO: device 3 has every register mapped, so it is written without a read.
  sim_.requests(0);
  sim_.requests(2);
  mapping_.do_num[0] = 0;
  write_back(io_, mapping_, devices_, 0, coils, regs);
  EXPECT_EQ(
      console.take(),
      "Before writing AO values[3]:\n1-2,3-1,3-2,\n0,0,0,\n[Modbus 00]\n[Write AO] Number:3, "
      "Value:[7, 80, 9]\r\n[Modbus 01]\n[Modbus 02]\n[Write AO] Number:2, Value:[10, 20]\r\n");
  EXPECT_EQ(sim_.requests(0), "3:300:3 16:300:3");
  EXPECT_EQ(sim_.requests(2), "16:300:2");
  EXPECT_EQ(get("2 ao 300 2"), "10 20");

  mapping_.do_num[0] = 3;  // the next scan brings back what the do_as_di device holds
  scan(0);
  console.take();
  EXPECT_EQ(io_.copy(0).do_value[2], 0);

  // The current coils cannot be read: nothing is written, the image still is.
  sim({"fail 0 1"});
  sim_.requests(0);
  const uint8_t on[3] = {0, 1, 0};
  EXPECT_EQ(write_back(io_, mapping_, devices_, 0, on, nullptr),
            kOk);  // a failed write is only printed
  EXPECT_NE(console.take().find("[Modbus 00]\n[Error] Read DO error\r\n[Error] Write DO error\r\n"),
            std::string::npos);
  EXPECT_EQ(sim_.requests(0), "1:100:4");
  EXPECT_EQ(get("0 do 100 4"), "1 1 0 1");
  EXPECT_EQ(io_.copy(0).do_value[0], 0);
}

TEST_F(ModbusTest, ScanUnderWayDoesNotUndoAWriteBack) {
  // Device 2 in a sim of its own that answers slowly: while the scan waits on
  // it, device 1 (whose coil it has read) stays free for the command.
  start({"tcp"});
  ModbusSim slow;
  start({"tcp"}, slow);
  ASSERT_EQ(slow.cmd("delay 0 500"), "ok");
  devices_ = {device(0, 1, 0, 0, 0), device_at(slow.devices.at(0), 0, 0, 1, 0)};
  map(IoType::DO, 0, "1-1,");
  sim({"set 0 do 100 0"});
  std::thread scan([this] { this->scan(0); });
  std::string served;
  for (int i = 0; i < 5000 && served.empty(); ++i) {
    if ((served = sim_.requests(0)).empty())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(served, "1:100:1");  // the scan has read the coil
  const uint8_t on = 1;
  write_back(io_, mapping_, std::span(devices_).first(1), 0, &on, nullptr);
  scan.join();
  EXPECT_EQ(get("0 do 100 1"), "1");
  EXPECT_EQ(io_.copy(0).do_value[0], 1);
}

int open_fds_to(const std::filesystem::path& p) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
    n += std::filesystem::read_symlink(e.path(), ec) == p;
  return n;
}

TEST_F(ModbusTest, BoardFilesOpenOnceOnTheFirstSuccessfulCall) {
  ostril_release();
  const auto dev = root_.path() / "dev";
  EXPECT_EQ(ostril_init(), 0);  // neither file there
  std::ofstream(dev / "mem").put('\0');
  EXPECT_EQ(ostril_init(), 0);  // only one of them
  EXPECT_EQ(open_fds_to(dev / "mem"), 0);
  std::ofstream(dev / "GPIO").put('\0');
  EXPECT_EQ(ostril_init(), 1);
  EXPECT_EQ(ostril_init(), 1);
  EXPECT_EQ(std::pair(open_fds_to(dev / "mem"), open_fds_to(dev / "GPIO")), std::pair(1, 1));
  ostril_release();
  std::filesystem::remove(dev / "GPIO");
  start({"tcp"});
  Buffers b;
  EXPECT_EQ(b.fc(device(0, 0, 0, 0, 0), 0), kOk);  // a failing board does not stop an exchange
  ostril_release();
}

}  // namespace

// device_outage=keep_running: when a device counts as lost, when it is tried
// again, and that it comes back.
TEST(DeviceWatchTest, LostAfterRefusalOrThreeFailedReadsRetriedWithDoublingBackOff) {
  using C = DeviceWatch::Change;
  DeviceWatch w;
  DeviceValues v{};
  v.ai_buf[0] = 7;
  EXPECT_EQ(w.record(1, kOk, 0, &v), C::kNone);
  EXPECT_EQ(w.record(1, kReadError, 10, nullptr), C::kNone);
  EXPECT_EQ(w.record(1, kReadError, 20, nullptr), C::kNone);
  EXPECT_TRUE(w.reachable(1));
  EXPECT_EQ(w.record(1, kReadError, 30, nullptr), C::kLost);
  EXPECT_EQ(w.unreachable_mask(), 2u);
  EXPECT_EQ(w.last_good(1).ai_buf[0], 7);
  // Each failed retry doubles the wait, up to 60 s.
  uint32_t now = 30;
  for (uint32_t wait : {1000u, 2000u, 4000u, 8000u, 16000u, 32000u, 60000u, 60000u}) {
    EXPECT_FALSE(w.due(1, now + wait - 1)) << wait;
    ASSERT_TRUE(w.due(1, now + wait)) << wait;
    now += wait;
    EXPECT_EQ(w.record(1, kUnreachable, now, nullptr), C::kNone);
  }
  EXPECT_EQ(w.record(1, kOk, now + 60000, &v), C::kBack);
  EXPECT_EQ(w.unreachable_mask(), 0u);
  // After a success the back-off starts again; a refused connection is lost at once.
  EXPECT_EQ(w.record(9, kUnreachable, 100, nullptr), C::kLost);
  EXPECT_TRUE(w.due(9, 1100));
  EXPECT_EQ(w.unreachable_mask(), 512u);
}

TEST_F(ModbusTest, WatchedOutageKeepsTheLostDevicesValuesAndDropsItsCommandSlots) {
  VirtualClock clock;
  ScopedClock clock_guard{clock};
  start({"tcp"});
  devices_ = {device(0, 2, 0, 0, 1), device(0, 2, 0, 0, 1)};
  map(IoType::DO, 0, "1-1,2-1,");
  map(IoType::AI, 0, "1-1,2-1,");
  io_.watch_devices(true);
  sim({"set 0 do 100 0 0", "set 0 ai 400 5"});
  EXPECT_EQ(scan(0), kOk);
  EXPECT_EQ(io_.devinfo_value4(), "0");
  devices_[1].tcp_port = kClosedPort;  // device 2 goes away
  sim({"set 0 ai 400 6"});
  EXPECT_EQ(scan(0), kOk);
  EXPECT_EQ(io_.copy(0).ai_value[0], 6);  // device 1 stays fresh
  EXPECT_EQ(io_.copy(0).ai_value[1], 5);  // device 2's last good value
  EXPECT_EQ(io_.devinfo_value4(), "2");
  const uint8_t on[2] = {1, 1};
  EXPECT_EQ(write_back(io_, mapping_, devices_, 0, on, nullptr), kOk);
  EXPECT_EQ(get("0 do 100 2"), "1 0");
  EXPECT_EQ(io_.copy(0).do_value[1], 0);  // dropped, not queued
  const std::string out = console.take();
  EXPECT_NE(out.find("[Error] Modbus device 2 cannot be reached: its last good values are kept, "
                     "retrying\n"),
            std::string::npos);
  EXPECT_NE(out.find("[Error] Modbus device 2 cannot be reached: its DO values of this command "
                     "are dropped\n"),
            std::string::npos);
  devices_[1].tcp_port = devices_[0].tcp_port;
  clock.advance_ms(1000);  // its first retry
  EXPECT_EQ(scan(0), kOk);
  EXPECT_EQ(io_.devinfo_value4(), "0");
  EXPECT_NE(console.take().find("Modbus device 2 answers again\n"), std::string::npos);
}
