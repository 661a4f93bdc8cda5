// The serial layer on real pseudo-terminals: the slave side is linked where the
// port's device path points under a private QUORVANE_ROOT, and the test plays
// the far end on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>
#include <vector>

#include "common/clock.h"
#include "serial/port_keeper.h"
#include "serial/serial_port.h"
#include "test_support.h"

namespace {

constexpr const char* kDevice = "/dev/ttyUSB0";
constexpr LineSettings k9600{9600, 8, Parity::kNone, 1};

class SerialPty : public ::testing::Test {
 protected:
  support::TempRoot root_;
  UniqueFd master_ = support::open_pty_at(root_.path() / "dev/ttyUSB0");
};

TEST_F(SerialPty, OpenLineAppliesRateParityAndStopBits) {
  struct Case {
    LineSettings line;
    speed_t speed;
    tcflag_t size, cflag;  // cflag: of CSTOPB, PARENB and PARODD
  };
  const Case cases[] = {
      {{9600, 8, Parity::kNone, 1}, B9600, CS8, 0},
      {{50, 5, Parity::kNone, 1}, B50, CS5, 0},
      {{921600, 6, Parity::kNone, 1}, B921600, CS6, 0},
      {{4800, 7, Parity::kOdd, 1}, B4800, CS7, PARENB | PARODD},
      {{115200, 7, Parity::kEven, 2}, B115200, CS7, PARENB | CSTOPB},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.baud);
    SerialPort port(kDevice, 10);
    ASSERT_EQ(port.open_line(c.line), 0);
    // What the kernel holds, through a descriptor of our own.
    UniqueFd slave(open((root_.path() / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    termios t{};
    ASSERT_EQ(tcgetattr(slave.get(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_iflag & INPCK, c.cflag != 0 ? INPCK : 0);
    // A pseudo-terminal forces 8 bits and no parity; the record keeps what was asked.
    EXPECT_EQ(port.settings().c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), c.size | c.cflag);
    EXPECT_EQ(t.c_cflag & CSTOPB, c.cflag & CSTOPB);
    // Raw: every byte travels unchanged.
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_EQ(t.c_cc[VMIN], 1);
  }
}

// Nothing is left open by a refused open; each call's result says why.
TEST_F(SerialPty, FailuresAnswerTheirErrno) {
  for (const LineSettings& line : {LineSettings{14400, 8, Parity::kNone, 1},  // no such speed
                                   {7200, 8, Parity::kNone, 1},
                                   {9600, 4, Parity::kNone, 1},
                                   {9600, 9, Parity::kNone, 1},
                                   {9600, 8, Parity::kNone, 0},
                                   {9600, 8, Parity::kNone, 3},
                                   {9600, 8, static_cast<Parity>(3), 1}}) {
    SerialPort port(kDevice, 10);
    EXPECT_EQ(port.open_line(line), -EINVAL)
        << line.baud << " " << int(line.data_bits) << int(line.parity) << int(line.stop_bits);
    EXPECT_FALSE(port.is_open());
  }
  std::ofstream(root_.path() / "dev/file").close();
  support::ScopedConsoleCapture console;
  for (auto [device, rc] : {std::pair{"/dev/ttyUSB5", -ENOENT}, {"/dev/file", -ENOTTY}}) {
    SerialPort port(device, 10);
    EXPECT_EQ(port.open_line(k9600), rc) << device;
    EXPECT_FALSE(port.is_open());
  }
  EXPECT_EQ(console.take(), "API:tcgetattr() error\r\n");  // the file's

  SerialPort port(kDevice, 10);
  char buf[8];
  EXPECT_EQ(port.reopen(), -EBADF);  // never opened: no line to reopen with
  for (int rc : {port.read(buf, 1), port.write("x", 1), port.waiting(), port.close()})
    EXPECT_EQ(rc, -EBADF);
  ASSERT_EQ(port.open_line(k9600), 0);
  EXPECT_EQ(port.read(buf, -1), -EINVAL);
  EXPECT_EQ(port.write("x", -1), -EINVAL);
  EXPECT_EQ(port.read(buf, sizeof buf), -EAGAIN);  // nothing waits
  // The far end reads nothing: the output queue fills, and the write that
  // went out in part fails as the rest would have.
  const std::vector<char> big(1 << 20, 'x');
  for (int i = 0; i < 2; ++i) EXPECT_EQ(port.write(big.data(), int(big.size())), -EAGAIN);
  EXPECT_EQ(port.lost_reason(false), nullptr);  // full, not gone
  master_.reset();
  EXPECT_EQ(port.write("x", 1), -EIO);
  EXPECT_STREQ(port.lost_reason(false), "Input/output error");  // the write's, not the hang-up
  EXPECT_EQ(port.close(), 0);
  EXPECT_EQ(port.lost_reason(false), nullptr);  // closed: nothing to say
}

TEST(Backoff, DoublesFromOneSecondToThirtyAndStartsOverOnSuccess) {
  Backoff b;
  EXPECT_TRUE(b.due(5));
  for (uint32_t wait : {1000u, 2000u, 4000u, 8000u, 16000u, 30000u, 30000u}) {
    b.failed(0xFFFFFF00);  // across the tick wrap
    EXPECT_FALSE(b.due(0xFFFFFF00 + wait - 1)) << wait;
    EXPECT_TRUE(b.due(0xFFFFFF00 + wait)) << wait;
  }
  b.reset();
  b.failed(0);
  EXPECT_TRUE(b.due(1000) && !b.due(999));
}

// A port that does not open, goes away, or whose path names another device is
// opened again by its path once its wait has passed: one line each way.
TEST_F(SerialPty, AKeptPortComesBackByItsPath) {
  VirtualClock clock;
  ScopedClock guard(clock);
  support::ScopedConsoleCapture console;
  const std::filesystem::path link = root_.path() / "dev/ttyUSB1";
  const std::string name = "GPS port " + link.string();
  SerialPort port("/dev/ttyUSB1", 11);
  PortKeeper keeper(port, "GPS");
  EXPECT_EQ(keeper.open(k9600), -ENOENT);
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

}  // namespace
