// The serial layer on real pseudo-terminals: the slave side is linked where the
// port's device path points under a private QUORVANE_ROOT, and the test plays
// the far end on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <fstream>
#include <string>

#include "common/clock.h"
#include "serial/port_keeper.h"
#include "serial/port_tables.h"
#include "serial/serial_port.h"
#include "serial/uart.h"
#include "test_support.h"

namespace {

constexpr uint8_t kPort = 10;  // ttyUSB0, the modem port

class SerialPty : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int port = 0; port <= kMaxPort; ++port) {
      UART_Close(static_cast<uint8_t>(port));
      zol_Close(port);  // what a refused init left open
    }
  }
  // The settings the kernel holds for the slave, through a descriptor of our own.
  termios kernel_settings() {
    UniqueFd slave(open((root_.path() / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    termios t{};
    EXPECT_EQ(tcgetattr(slave.get(), &t), 0);
    return t;
  }
  speed_t kernel_speed() {
    termios t = kernel_settings();
    return cfgetospeed(&t);
  }

  support::TempRoot root_;
  UniqueFd master_ = support::open_pty_at(root_.path() / "dev/ttyUSB0");
};

TEST_F(SerialPty, InitAppliesRateParityAndStopBits) {
  struct Case {
    uint32_t rate;
    uint8_t data_bits, parity, stop;
    speed_t speed;
    bool inpck, parodd, cstopb;
  };
  const Case cases[] = {
      {9600, 8, 0, 0, B9600, false, false, false},
      {14400, 8, 0, 0, B115200, false, false, false},  // not listed
      {7200, 8, 0, 0, B4800, false, false, false},     // no 7200 speed
      {921600, 8, 0, 0, B921600, false, false, false},
      {9600, 7, 1, 0, B9600, true, true, false},   // odd
      {9600, 7, 2, 0, B9600, true, false, false},  // even
      {9600, 7, 3, 0, B9600, false, false, false},
      {9600, 7, 0, 1, B9600, false, false, true},
      {9600, 7, 0, 2, B9600, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rate << " " << int(c.data_bits) << int(c.parity) << int(c.stop));
    SerialPort port(kPort);
    ASSERT_EQ(port.open_line(c.rate, c.data_bits, c.parity, c.stop), 0);
    termios t = kernel_settings();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
    // Raw: every byte travels unchanged.
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    // A pseudo-terminal forces 8 bits and no parity; the record keeps what was asked.
    EXPECT_EQ(port.settings().c_cflag & CSIZE, c.data_bits == 7 ? CS7 : CS8);
    EXPECT_EQ((port.settings().c_cflag & PARENB) != 0, c.inpck);
  }
}

// Bytes travel both ways in every AT link test; here the failures.
TEST_F(SerialPty, AnEmptyReadAndAWriteToAGoneFarEndFail) {
  SerialPort port(kPort);
  ASSERT_EQ(port.open_line(9600, 8, 0, 0), 0);
  char buf[8];
  EXPECT_EQ(port.read(buf, sizeof buf), ZOL_SYSCALL_FAILED);  // nothing waits
  master_.reset();
  EXPECT_LT(port.write("x", 1), 0);
  EXPECT_STREQ(port.lost_reason(false), "Input/output error");  // the write's, not the hang-up
}

TEST(Backoff, DoublesFromOneSecondToThirtyAndStartsOverOnSuccess) {
  Backoff b;
  EXPECT_TRUE(b.due(5));
  std::vector<uint32_t> waits;
  for (int i = 0; i < 7; ++i) {
    b.failed(0xFFFFFF00);  // across the tick wrap
    waits.push_back(b.wait_ms());
    EXPECT_FALSE(b.due(0xFFFFFF00 + b.wait_ms() - 1));
    EXPECT_TRUE(b.due(0xFFFFFF00 + b.wait_ms()));
  }
  EXPECT_EQ(waits, (std::vector<uint32_t>{1000, 2000, 4000, 8000, 16000, 30000, 30000}));
  b.reset();
  b.failed(0);
  EXPECT_EQ(b.wait_ms(), 1000u);
}

// A port that does not open, goes away, or whose path names another device is
// opened again by its path once its wait has passed: one line each way.
TEST_F(SerialPty, AKeptPortComesBackByItsPath) {
  VirtualClock clock;
  ScopedClock guard(clock);
  support::ScopedConsoleCapture console;
  const std::filesystem::path link = root_.path() / "dev/ttyUSB1";
  const std::string name = "GPS port " + link.string();
  SerialPort port(kPort + 1);
  PortKeeper keeper(port, "GPS");
  EXPECT_EQ(keeper.open(9600, 8, 0, 0), UART_OPEN_FAILED);
  EXPECT_EQ(console.take(), name + " cannot be opened (No such file or directory), retrying!!\n");

  UniqueFd far = support::open_pty_at(link);
  auto back_after = [&](uint32_t ms, const std::string& lost) {
    EXPECT_EQ(console.take(), lost.empty() ? "" : name + " lost (" + lost + "), reopening!!\n");
    clock.advance_ms(ms - 1);
    EXPECT_FALSE(keeper.ready());
    clock.advance_ms(1);
    EXPECT_TRUE(keeper.ready());
    EXPECT_EQ(cfgetospeed(&port.settings()), B9600);  // as first opened
    EXPECT_EQ(console.take(), name + " back\n");
  };
  back_after(1000, "");
  EXPECT_EQ(keeper.returns(), 1u);

  // The far end goes away (a USB reset); the path names nothing for a while.
  far.reset();
  EXPECT_FALSE(keeper.ready());
  std::filesystem::remove(link);
  clock.advance_ms(1000);
  EXPECT_FALSE(keeper.ready());  // the next wait is doubled
  far = support::open_pty_at(link);
  back_after(2000, "hang-up");

  // Another device at the path while the old one lives: seen within a second.
  UniqueFd other = support::open_pty_at(root_.path() / "dev/new");
  std::filesystem::rename(root_.path() / "dev/new", link);
  EXPECT_TRUE(keeper.ready());
  clock.advance_ms(1000);
  EXPECT_FALSE(keeper.ready());
  back_after(1000, "another device at its path");  // a success started the waits over

  // What the user finds: a device that answers nothing.
  keeper.lose("no answer");
  back_after(1000, "no answer");
  EXPECT_EQ(keeper.returns(), 4u);
}

TEST_F(SerialPty, InUseTableGuardsInitSendAndClose) {
  EXPECT_EQ(UART_Send(kPort, "x", 1), UART_NOT_IN_USE);  // never opened
  EXPECT_EQ(UART_Close(kPort), 0);                       // not in use: nothing
  ASSERT_EQ(UART_Init(kPort, 9600, 8, 0, 0), 0);
  EXPECT_EQ(UART_Init(kPort, 4800, 7, 1, 1), UART_IN_USE);
  EXPECT_EQ(kernel_speed(), B9600);
  EXPECT_EQ(UART_Close(kPort), 0);
  EXPECT_EQ(UART_Send(kPort, "x", 1), UART_NOT_IN_USE);
  EXPECT_EQ(UART_Init(kPort, 19200, 8, 0, 0), 0);  // open again after a close
  EXPECT_EQ(kernel_speed(), B19200);
  UART_Close(kPort);

  // No device behind the path, a port number out of range, line codes outside
  // their tables, a device that is not a terminal: refused, the port not taken.
  EXPECT_EQ(UART_Init(15, 9600, 8, 0, 0), UART_OPEN_FAILED);
  EXPECT_EQ(UART_Send(15, "x", 1), UART_NOT_IN_USE);
  EXPECT_EQ(UART_Init(40, 9600, 8, 0, 0), ZOL_BAD_PORT);
  for (auto [bits, parity, stop] :
       {std::array<uint8_t, 3>{4, 0, 0}, {9, 0, 0}, {8, 5, 0}, {8, 0, 3}}) {
    EXPECT_EQ(UART_Init(kPort, 9600, bits, parity, stop), ZOL_BAD_PARAM);
    EXPECT_EQ(UART_Send(kPort, "x", 1), UART_NOT_IN_USE);
  }
  std::ofstream(root_.path() / "dev/ttyUSB3").close();  // not a terminal
  support::ScopedConsoleCapture console;
  EXPECT_EQ(UART_Init(13, 9600, 8, 0, 0), ZOL_SYSCALL_FAILED);
  EXPECT_EQ(console.take(), "API:tcgetattr() error\r\n");
  EXPECT_EQ(UART_Send(13, "x", 1), UART_NOT_IN_USE);
}

}  // namespace
