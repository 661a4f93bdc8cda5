// Test bench for the modem link: the modem and GPS ports on pseudo-terminals
// linked under a private QUORVANE_ROOT, the test playing the far end on the
// master sides, with a virtual clock in force.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "common/clock.h"
#include "config/records.h"
#include "modem/at_link.h"
#include "modem/downlink.h"
#include "serial/uart.h"
#include "common/unique_fd.h"

class ModemPty {
 public:
  ModemPty() : clock_guard_(clock_) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "quorvane-modem-XXXXXX").string();
    EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    std::filesystem::create_directories(root_ / "dev");
    std::filesystem::create_directories(root_ / "tmp");
    setenv("QUORVANE_ROOT", root_.c_str(), 1);
    modem_master_ = open_pty_at("ttyUSB0");
    gps_master_ = open_pty_at("ttyUSB1");
    EXPECT_EQ(UART_Init(modem_port, 9600, 8, 0, 0), 0);
    EXPECT_EQ(UART_Init(gps_port, 9600, 8, 0, 0), 0);
    allocate_records();
    recv_reset(modem_port);
    recv_reset(gps_port);
    set_downlink_handlers(nullptr, nullptr);
  }

  ~ModemPty() {
    UART_Close(modem_port);
    UART_Close(gps_port);
    recv_reset(modem_port);
    recv_reset(gps_port);
    set_downlink_handlers(nullptr, nullptr);
    unsetenv("QUORVANE_ROOT");
    std::filesystem::remove_all(root_);
  }

  ModemPty(const ModemPty&) = delete;
  ModemPty& operator=(const ModemPty&) = delete;

  int master(uint8_t port) const {
    return port == gps_port ? gps_master_.get() : modem_master_.get();
  }

  // Writes bytes as the far end and waits (bounded, in real time) until the
  // port holds them, so that a following receive call finds them waiting.
  void send(uint8_t port, const std::string& bytes) {
    int before = std::max(UART_DataSizeInCom(port), 0);
    ASSERT_EQ(write(master(port), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    for (int i = 0; i < 200 && UART_DataSizeInCom(port) < before + static_cast<int>(bytes.size());
         ++i) {
      poll(nullptr, 0, 5);
    }
    ASSERT_GE(UART_DataSizeInCom(port), before + static_cast<int>(bytes.size()));
  }

  // What the gateway wrote to the port, waiting up to wait_ms for the first byte.
  std::string received(uint8_t port, int wait_ms = 200) {
    std::string out;
    pollfd p{master(port), POLLIN, 0};
    while (poll(&p, 1, out.empty() ? wait_ms : 20) > 0) {
      char buf[512];
      ssize_t got = read(master(port), buf, sizeof buf);
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }

  const std::filesystem::path& root() const { return root_; }
  VirtualClock& clock() { return clock_; }

 private:
  UniqueFd open_pty_at(const std::string& name) {
    UniqueFd m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    EXPECT_TRUE(m.valid());
    EXPECT_EQ(grantpt(m.get()), 0);
    EXPECT_EQ(unlockpt(m.get()), 0);
    std::filesystem::create_symlink(ptsname(m.get()), root_ / "dev" / name);
    return m;
  }

  VirtualClock clock_;
  ScopedClock clock_guard_;
  std::filesystem::path root_;
  UniqueFd modem_master_;
  UniqueFd gps_master_;
};
