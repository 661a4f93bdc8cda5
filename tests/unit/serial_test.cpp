// The serial layer on real pseudo-terminals: the slave side is linked where the
// port's device path points under a private QUORVANE_ROOT, and the test plays
// the far end on the master side.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/port_tables.h"
#include "serial/uart.h"
#include "common/unique_fd.h"

namespace fs = std::filesystem;

namespace {

constexpr uint8_t kPort = 10;  // ttyUSB0, the modem port

class SerialPty : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "quorvane-serial-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    fs::create_directories(root_ / "dev");
    setenv("QUORVANE_ROOT", root_.c_str(), 1);
    master_ = open_pty_at("ttyUSB0");
  }

  void TearDown() override {
    for (int port = 0; port <= kMaxPort; ++port) {
      UART_Close(static_cast<uint8_t>(port));
      zol_Close(port);
    }
    unsetenv("QUORVANE_ROOT");
    fs::remove_all(root_);
  }

  // A new pseudo-terminal whose slave is reachable as <root>/dev/<name>;
  // returns the master side.
  UniqueFd open_pty_at(const std::string& name) {
    UniqueFd m(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK));
    EXPECT_TRUE(m.valid());
    EXPECT_EQ(grantpt(m.get()), 0);
    EXPECT_EQ(unlockpt(m.get()), 0);
    fs::create_symlink(ptsname(m.get()), root_ / "dev" / name);
    return m;
  }

  // The settings the kernel holds for the slave, read through a descriptor of
  // the test's own.
  termios kernel_settings() {
    UniqueFd slave(open((root_ / "dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    termios t{};
    EXPECT_EQ(tcgetattr(slave.get(), &t), 0);
    return t;
  }

  speed_t kernel_speed() {
    termios t = kernel_settings();
    return cfgetospeed(&t);
  }

  // Waits (bounded) until the port holds at least n bytes.
  bool wait_input(int n) {
    for (int i = 0; i < 50; ++i) {
      if (UART_DataSizeInCom(kPort) >= n) return true;
      poll(nullptr, 0, 20);
    }
    return false;
  }

  std::string read_master(size_t n) {
    std::string out;
    pollfd p{master_.get(), POLLIN, 0};
    while (out.size() < n && poll(&p, 1, 1000) > 0) {
      char buf[256];
      ssize_t got = read(master_.get(), buf, sizeof buf);
      if (got <= 0) break;
      out.append(buf, static_cast<size_t>(got));
    }
    return out;
  }

  void write_master(const std::string& bytes) {
    ASSERT_EQ(write(master_.get(), bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  fs::path root_;
  UniqueFd master_;
};

TEST_F(SerialPty, PortNumbersMapToDevicePathsUnderTheRoot) {
  const std::string r = root_.string();
  EXPECT_EQ(port_device_path(0), r + "//dev//ttyO0");
  EXPECT_EQ(port_device_path(9), r + "//dev//ttyO9");
  EXPECT_EQ(port_device_path(10), r + "//dev//ttyUSB0");
  EXPECT_EQ(port_device_path(11), r + "//dev//ttyUSB1");
  EXPECT_EQ(port_device_path(20), r + "//dev//ttyACM0");
  EXPECT_EQ(port_device_path(32), r + "//dev//ttyACM12");
  EXPECT_EQ(port_device_path(33), "");
  EXPECT_EQ(port_device_path(-1), "");
  unsetenv("QUORVANE_ROOT");
  EXPECT_EQ(port_device_path(10), "//dev//ttyUSB0");
}

TEST_F(SerialPty, InitAppliesRateParityAndStopBits) {
  struct Case {
    uint32_t rate;
    uint8_t data_bits, parity, stop;
    speed_t speed;
    bool inpck, parodd, cstopb;
  };
  const std::vector<Case> cases = {
      {9600, 8, 0, 0, B9600, false, false, false},
      {14400, 8, 0, 0, B115200, false, false, false},  // not listed
      {7200, 8, 0, 0, B4800, false, false, false},     // no 7200 speed
      {921600, 8, 0, 0, B921600, false, false, false},
      {50, 8, 0, 0, B50, false, false, false},
      {9600, 7, 1, 0, B9600, true, true, false},   // odd
      {9600, 7, 2, 0, B9600, true, false, false},  // even
      {9600, 8, 3, 0, B9600, false, false, false},
      {9600, 8, 4, 0, B9600, false, false, false},
      {9600, 8, 0, 1, B9600, false, false, true},
      {9600, 8, 0, 2, B9600, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.rate << " " << int(c.data_bits) << int(c.parity) << int(c.stop));
    ASSERT_EQ(UART_Init(kPort, c.rate, c.data_bits, c.parity, c.stop), 0);
    termios t = kernel_settings();
    EXPECT_EQ(cfgetospeed(&t), c.speed);
    EXPECT_EQ((t.c_iflag & INPCK) != 0, c.inpck);
    EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd);
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.cstopb);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);  // raw
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VTIME], 10);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    // A pseudo-terminal forces 8 bits and no parity enable; the record keeps
    // what was asked for.
    const termios& applied = applied_settings(kPort);
    EXPECT_EQ(applied.c_cflag & CSIZE, c.data_bits == 7 ? CS7 : CS8);
    EXPECT_EQ((applied.c_cflag & PARENB) != 0, c.inpck);
    EXPECT_EQ(PortData.baud_index, static_cast<uint32_t>(baud_index_of(c.rate)));
    EXPECT_EQ(UART_Close(kPort), 0);
  }
}

TEST_F(SerialPty, BytesTravelBothWaysUnchanged) {
  ASSERT_EQ(UART_Init(kPort, 9600, 8, 0, 0), 0);
  const std::string down("AT\r\n\x00\xff\x11\x13\x03", 9);
  write_master(down);
  ASSERT_TRUE(wait_input(static_cast<int>(down.size())));
  EXPECT_EQ(UART_DataSizeInCom(kPort), static_cast<int>(down.size()));
  EXPECT_EQ(UART_GetChar(kPort), 'A');
  EXPECT_EQ(zol_Getch(kPort), 'T');
  char buf[32] = {};
  ASSERT_EQ(UART_Recv(kPort, buf, sizeof buf), 7);
  EXPECT_EQ(std::string(buf, 7), down.substr(2));
  // Nothing waiting: the non-blocking read fails at once.
  EXPECT_EQ(UART_DataSizeInCom(kPort), 0);
  EXPECT_EQ(UART_Recv(kPort, buf, sizeof buf), ZOL_SYSCALL_FAILED);
  EXPECT_EQ(UART_GetChar(kPort), 0);
  EXPECT_EQ(zol_Getch(kPort), 254);

  const std::string up("OK\r\n\x00\xfe\n", 7);
  EXPECT_EQ(UART_Send(kPort, up.data(), static_cast<int>(up.size())), 0);
  EXPECT_EQ(zol_Putch(kPort, 0x1a), 1);
  EXPECT_EQ(zol_Write(kPort, "xy", 2), 2);
  EXPECT_EQ(read_master(up.size() + 3), up + "\x1axy");

  write_master("discard me");
  ASSERT_TRUE(wait_input(10));
  EXPECT_EQ(UART_RxClear(kPort), 0);
  EXPECT_EQ(UART_DataSizeInCom(kPort), 0);
  EXPECT_EQ(UART_TxClear(kPort), 0);
  EXPECT_EQ(zol_Flush(kPort, ZOL_FLUSH_BOTH), 0);
  EXPECT_EQ(zol_Flush(kPort, 3), ZOL_BAD_PARAM);
  EXPECT_EQ(zol_Flush(kPort, -1), ZOL_BAD_PARAM);

  // The far end gone: the write fails and is reported as such.
  master_.reset();
  EXPECT_EQ(UART_Send(kPort, "x", 1), UART_WRITE_FAILED);
}

TEST_F(SerialPty, InUseTableGuardsInitSendAndClose) {
  EXPECT_EQ(UART_Send(kPort, "x", 1), UART_NOT_IN_USE);  // never opened
  EXPECT_EQ(UART_Close(kPort), 0);                       // not in use: nothing
  ASSERT_EQ(UART_Init(kPort, 9600, 8, 0, 0), 0);
  EXPECT_EQ(UART_Init(kPort, 4800, 7, 1, 1), UART_IN_USE);
  EXPECT_EQ(cfgetospeed(&applied_settings(kPort)), B9600);
  EXPECT_EQ(kernel_speed(), B9600);

  EXPECT_EQ(UART_Close(kPort), 0);
  EXPECT_EQ(UART_Send(kPort, "x", 1), UART_NOT_IN_USE);
  char c;
  EXPECT_EQ(zol_Read(kPort, &c, 1), ZOL_NOT_OPEN);
  EXPECT_EQ(zol_Write(kPort, "x", 1), ZOL_NOT_OPEN);
  EXPECT_EQ(zol_Getch(kPort), 253);
  EXPECT_EQ(zol_Close(kPort), ZOL_NOT_OPEN);
  EXPECT_EQ(UART_Init(kPort, 19200, 8, 0, 0), 0);  // open again after a close
  EXPECT_EQ(kernel_speed(), B19200);

  // No device behind the path: 2, and the port is not taken.
  EXPECT_EQ(UART_Init(15, 9600, 8, 0, 0), UART_OPEN_FAILED);
  EXPECT_EQ(hComUse[15], 0);
  EXPECT_EQ(UART_Init(40, 9600, 8, 0, 0), ZOL_BAD_PORT);
  EXPECT_EQ(hComUse[40], 0);
}

TEST_F(SerialPty, BadParametersAreRefusedAndChangeNothing) {
  for (int port : {-1, 33}) {
    SCOPED_TRACE(port);
    char c;
    EXPECT_EQ(zol_Open(port), ZOL_BAD_PORT);
    EXPECT_EQ(zol_ConfigPort(port, 12, 3), ZOL_BAD_PORT);
    EXPECT_EQ(zol_Close(port), ZOL_BAD_PORT);
    EXPECT_EQ(zol_Write(port, "x", 1), ZOL_BAD_PORT);
    EXPECT_EQ(zol_Putch(port, 'x'), ZOL_BAD_PORT);
    EXPECT_EQ(zol_Read(port, &c, 1), ZOL_BAD_PORT);
    EXPECT_EQ(zol_Getch(port), 255);
    EXPECT_EQ(zol_Flush(port, 0), ZOL_BAD_PORT);
    EXPECT_EQ(zol_InpQueueLen(port), ZOL_BAD_PORT);
  }

  // Line codes outside their tables: refused before anything is touched.
  const PortSetup before = PortData;
  EXPECT_EQ(UART_Init(kPort, 9600, 4, 0, 0), ZOL_BAD_PARAM);
  EXPECT_EQ(UART_Init(kPort, 9600, 9, 0, 0), ZOL_BAD_PARAM);
  EXPECT_EQ(UART_Init(kPort, 9600, 8, 5, 0), ZOL_BAD_PARAM);
  EXPECT_EQ(UART_Init(kPort, 9600, 8, 0, 3), ZOL_BAD_PARAM);
  EXPECT_EQ(hComUse[kPort], 0);
  EXPECT_EQ(PortData.baud_index, before.baud_index);
  EXPECT_EQ(zol_InpQueueLen(kPort), ZOL_NOT_OPEN);

  ASSERT_EQ(UART_Init(kPort, 9600, 8, 0, 0), 0);
  EXPECT_EQ(zol_ConfigPort(kPort, 20, 3), ZOL_BAD_PARAM);
  EXPECT_EQ(zol_ConfigPort(kPort, -1, 3), ZOL_BAD_PARAM);
  EXPECT_EQ(zol_ConfigPort(kPort, 12, 64), ZOL_BAD_PARAM);
  EXPECT_EQ(kernel_speed(), B9600);
  EXPECT_EQ(zol_ConfigPort(kPort, 19, 3), 0);
  EXPECT_EQ(kernel_speed(), B921600);
}

TEST_F(SerialPty, OpenLeavesCanonicalDefaultsAndPort32HasARecord) {
  UniqueFd acm = open_pty_at("ttyACM12");
  ASSERT_EQ(zol_Open(32), 0);
  EXPECT_EQ(zol_InpQueueLen(32), 0);
  UniqueFd slave(open((root_ / "dev/ttyACM12").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  termios t{};
  ASSERT_EQ(tcgetattr(slave.get(), &t), 0);
  EXPECT_EQ(cfgetospeed(&t), B115200);
  EXPECT_NE(t.c_lflag & ICANON, 0u);
  EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_iflag & INPCK, 0u);
  // Reopening in place is not refused at this level.
  EXPECT_EQ(zol_Open(32), 0);
  EXPECT_EQ(zol_Close(32), 0);
  EXPECT_EQ(zol_Close(32), ZOL_NOT_OPEN);
}

TEST_F(SerialPty, DeviceThatIsNotATerminalStaysOpenButNotInUse) {
  std::ofstream(root_ / "dev/ttyUSB3").close();
  testing::internal::CaptureStdout();
  EXPECT_EQ(UART_Init(13, 9600, 8, 0, 0), ZOL_SYSCALL_FAILED);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "API:tcgetattr() error\r\n");
  EXPECT_EQ(hComUse[13], 0);
  EXPECT_EQ(zol_Getch(13), 251);  // end of the empty file
  EXPECT_EQ(zol_Close(13), 0);
}

TEST(PrintMsg, PrintsUnchangedAndCutsBeyond511Characters) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(PrintMsg("%s=%d\r\n", "port", 10), 9);
  const std::string long_text(600, 'x');
  EXPECT_EQ(PrintMsg("%s", long_text.c_str()), 511);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "port=10\r\n" + long_text.substr(0, 511));
}

}  // namespace
