// The serial layer on real pseudo-terminals linked at the ports' paths under a
// private QUORVANE_ROOT; the test plays the far end on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "common/clock.h"
#include "serial/port_keeper.h"
#include "serial/serial_port.h"
#include "test_support.h"

namespace {

using enum Parity;
constexpr LineSettings k9600{9600, 8, kNone, 1};

class SerialPty : public ::testing::Test {
 protected:
  support::TempRoot root_;
  UniqueFd master_ = support::open_pty_at(root_.path() / "dev/ttyUSB0");
};

// The line as the kernel holds it, or the refusal, nothing then left open.
TEST_F(SerialPty, OpenLineAppliesTheLineOrAnswersItsErrno) {
  std::ofstream(root_.path() / "dev/file").close();
  struct Case {
    const char* device;
    LineSettings line;
    int rc;
    speed_t speed;
    tcflag_t cflag;  // CSIZE, CSTOPB, PARENB and PARODD as asked
  };
  const Case cases[] = {
      {"/dev/ttyUSB0", k9600, 0, B9600, CS8},
      {"/dev/ttyUSB0", {50, 5, kNone, 1}, 0, B50, CS5},
      {"/dev/ttyUSB0", {460800, 6, kNone, 1}, 0, B460800, CS6},
      {"/dev/ttyUSB0", {4800, 7, kOdd, 1}, 0, B4800, CS7 | PARENB | PARODD},
      {"/dev/ttyUSB0", {115200, 7, kEven, 2}, 0, B115200, CS7 | PARENB | CSTOPB},
      {"/dev/ttyUSB0", {14400, 8, kNone, 1}, -EINVAL, 0, 0},  // no such speed
      {"/dev/ttyUSB0", {9600, 4, kNone, 1}, -EINVAL, 0, 0},
      {"/dev/ttyUSB0", {9600, 9, kNone, 1}, -EINVAL, 0, 0},
      {"/dev/ttyUSB0", {9600, 8, kNone, 0}, -EINVAL, 0, 0},
      {"/dev/ttyUSB0", {9600, 8, kNone, 3}, -EINVAL, 0, 0},
      {"/dev/ttyUSB0", {9600, 8, static_cast<Parity>(3), 1}, -EINVAL, 0, 0},
      {"/dev/ttyUSB5", k9600, -ENOENT, 0, 0},
      {"/dev/file", k9600, -ENOTTY, 0, 0},  // not a terminal
  };
  support::ScopedConsoleCapture console;
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    SerialPort port(c.device, 10);
    ASSERT_EQ(port.open_line(c.line), c.rc);
    EXPECT_EQ(port.is_open(), c.rc == 0);
    if (c.rc != 0) continue;
    // A pseudo-terminal forces 8 bits and no parity; the record keeps what was asked.
    EXPECT_EQ(port.settings().c_cflag & (CSIZE | CSTOPB | PARENB | PARODD), c.cflag);
    UniqueFd slave(open(port.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    termios t{};
    ASSERT_EQ(tcgetattr(slave.get(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ(t.c_iflag & INPCK, (c.cflag & PARENB) != 0 ? INPCK : 0);
    // Raw: every byte travels unchanged.
    EXPECT_EQ((t.c_lflag & (ICANON | ECHO | ISIG)) | (t.c_oflag & OPOST) |
                  (t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP)),
              0u);
    EXPECT_EQ(t.c_cc[VTIME] << 8 | t.c_cc[VMIN], 10 << 8 | 1);
  }
  EXPECT_EQ(console.take(), "API:tcgetattr() error\r\n");  // the file's
}

TEST_F(SerialPty, ReadsAndWritesAnswerTheirErrno) {
  SerialPort port("/dev/ttyUSB0", 10);
  char buf[8];
  EXPECT_EQ(port.reopen(), -EBADF);  // never opened: no line to reopen with
  ASSERT_EQ(port.open_line(k9600), 0);
  EXPECT_EQ(port.read(buf, -1), -EINVAL);
  EXPECT_EQ(port.write("x", -1), -EINVAL);
  EXPECT_EQ(port.write("", 0), 0);                 // nothing to write is no failure
  EXPECT_EQ(port.read(buf, sizeof buf), -EAGAIN);  // nothing waits
  ASSERT_EQ(write(master_.get(), "ab", 2), 2);
  for (int i = 0; i < 1000 && port.waiting() < 2; ++i) usleep(1000);  // the pty passes them on
  EXPECT_EQ(port.waiting(), 2);
  // Nobody reads the far end: a write the full queue took in part fails.
  const std::vector<char> big(1 << 20, 'x');
  for (int i = 0; i < 2; ++i) EXPECT_EQ(port.write(big.data(), int(big.size())), -EAGAIN);
  EXPECT_EQ(port.lost_reason(false), nullptr);  // full, bytes waiting: not gone
  master_.reset();
  EXPECT_EQ(port.write("x", 1), -EIO);
  EXPECT_STREQ(port.lost_reason(false), "Input/output error");  // the write's, not the hang-up
}

// A port that does not open, goes away, or whose path names another device is
// opened again by its path after a wait (1 s doubling to 30 s): one line each way.
TEST_F(SerialPty, AKeptPortComesBackByItsPath) {
  VirtualClock clock(0xFFFFF000);  // across the tick wrap
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

  // A USB reset: a hang-up, then a while with a file at the path (each try says so).
  far.reset();
  EXPECT_FALSE(keeper.ready());
  EXPECT_EQ(console.take(), name + " lost (hang-up), reopening!!\n");
  std::filesystem::remove(link);
  std::ofstream(link).close();
  for (uint32_t wait : {1000u, 2000u, 4000u, 8000u, 16000u, 30000u}) {
    clock.advance_ms(wait - 1);
    keeper.ready();  // too early: no attempt, so nothing printed
    clock.advance_ms(1);
    EXPECT_FALSE(keeper.ready());
    EXPECT_EQ(console.take(), "API:tcgetattr() error\r\n") << wait;
  }
  std::filesystem::remove(link);
  far = support::open_pty_at(link);
  back_after(30000, "");

  // Another device at the path while the old one lives: seen within a second.
  clock.advance_ms(1000);
  EXPECT_TRUE(keeper.ready());  // its own device at the path
  UniqueFd other = support::open_pty_at(root_.path() / "dev/new");
  std::filesystem::rename(root_.path() / "dev/new", link);
  clock.advance_ms(1000);
  EXPECT_FALSE(keeper.ready());
  back_after(1000, "another device at its path");
}

}  // namespace
