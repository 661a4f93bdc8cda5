// The configuration the command handler tests run against: one simulated
// Modbus TCP device (the bench kit's modbus_sim) and two sessions.
//   session index 0, ID 5: no DO and no AO slots;
//   session index 1, ID 2: DO slots 0-2 on coils 100-102, AO slots 0-1 on
//   holding registers 300-301. Coil 103 and register 302 are on the device
//   but not mapped.
// The image and the device start equal: coils 1 1 1 1, registers 5 5 77.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/text.h"
#include "config/records.h"
#include "modbus/modbus_io.h"
#include "modbus_sim_client.h"

class DownlinkFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ModbusSim::available()) GTEST_SKIP() << "modbus_sim not built";
    // The Modbus engine opens <root>/dev/mem and <root>/dev/GPIO; keep it off
    // the machine's own.
    root_ =
        std::filesystem::path(testing::TempDir()) / ("downlink_root_" + std::to_string(::getpid()));
    std::filesystem::create_directories(root_);
    ::setenv("QUORVANE_ROOT", root_.c_str(), 1);
    allocate_records();
    modbus_io_reset();
    ASSERT_TRUE(sim.start({"--tcp", "0", "--block", "do:100:4", "--block", "ao:300:3"}));
    ASSERT_EQ(sim.cmd("set 0 do 100 1 1 1 1"), "ok");
    ASSERT_EQ(sim.cmd("set 0 ao 300 5 5 77"), "ok");

    mb_num = 1;
    MbDevice& d = *modbus_dev[0];
    d.slave_id = 1;
    d.do_count = 4;
    d.do_start = 100;
    d.ao_count = 3;
    d.ao_start = 300;
    d.is_tcp = 1;
    copy_text(d.ip_addr, sizeof d.ip_addr, "127.0.0.1");
    d.tcp_port = sim.devices.at(0).port;

    MbIoTable& io = *modbusIO;
    io.session_count = 2;
    io.session_id[0] = 5;
    io.session_id[1] = 2;
    for (uint8_t k = 0; k < 3; ++k) {
      io.do_map[1][k] = {1, static_cast<uint8_t>(k + 1)};
      io.do_value[1][k] = 1;
    }
    io.do_num[1] = 3;
    copy_text(io.do_map_text[1], sizeof io.do_map_text[1], "1-1,1-2,1-3,");
    for (uint8_t k = 0; k < 2; ++k) {
      io.ao_map[1][k] = {1, static_cast<uint8_t>(k + 1)};
      io.ao_value[1][k] = 5;
    }
    io.ao_num[1] = 2;
    copy_text(io.ao_map_text[1], sizeof io.ao_map_text[1], "1-1,1-2,");
  }

  void TearDown() override {
    ::unsetenv("QUORVANE_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  std::string coils() { return sim.cmd("get 0 do 100 4").substr(3); }
  std::string registers() { return sim.cmd("get 0 ao 300 3").substr(3); }
  // The requests the device served since the last look, "fc:addr:count" words.
  std::string traffic() { return sim.requests(0); }
  // How many of them wrote (function 15 or 16).
  int writes() {
    std::string t = traffic();
    TokenView words(t);
    int n = 0;
    while (auto w = words.next(" ")) n += w->starts_with("15:") || w->starts_with("16:");
    return n;
  }

  ModbusSim sim;
  std::filesystem::path root_;
};
