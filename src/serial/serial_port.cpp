#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"

namespace {

constexpr const char* kMsgGetAttr = "API:tcgetattr() error\r\n";
constexpr const char* kMsgSetAttr = "API:tcsetattr() error\r\n";

constexpr const char* kHangUp = "hang-up";
constexpr const char* kOtherDevice = "another device at its path";

constexpr std::array<std::pair<uint32_t, speed_t>, 19> kSpeeds = {{
    {50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
    {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},     {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600},
}};
constexpr std::array<tcflag_t, 4> kCharSize = {CS5, CS6, CS7, CS8};

// Raw mode at the line, built from zero: every byte travels unchanged, the
// speed in the control flags, the parity checked on input when there is one.
std::optional<termios> raw_settings(const LineSettings& line) {
  const auto* speed = std::find_if(kSpeeds.begin(), kSpeeds.end(),
                                   [&](const auto& s) { return s.first == line.baud; });
  if (speed == kSpeeds.end() || line.data_bits < 5 || line.data_bits > 8 || line.stop_bits < 1 ||
      line.stop_bits > 2 || line.parity > Parity::kEven) {
    return std::nullopt;
  }
  termios t{};
  t.c_cflag = CREAD | CLOCAL | speed->second | kCharSize[line.data_bits - 5];
  if (line.stop_bits == 2) t.c_cflag |= CSTOPB;
  if (line.parity != Parity::kNone) {
    t.c_cflag |= PARENB;
    if (line.parity == Parity::kOdd) t.c_cflag |= PARODD;
    t.c_iflag = INPCK;
  }
  t.c_cc[VTIME] = 10;
  t.c_cc[VMIN] = 1;
  return t;
}

}  // namespace

SerialPort::SerialPort(const char* device, int number)
    : path_(resolve_path(device)), number_(number) {}

int SerialPort::open_line(const LineSettings& line) {
  const std::optional<termios> wanted = raw_settings(line);
  if (!wanted) return -EINVAL;
  line_ = line;
  gone_errno_ = 0;
  // Reopening in place closes the descriptor held before.
  fd_ = UniqueFd(::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!fd_.valid()) return -errno;

  // A device that is not a terminal, or refuses the settings, is not kept open.
  auto refused = [this](const char* text) {
    const int error = errno;
    console().write(text);
    fd_.reset();
    return -error;
  };
  termios current{};
  if (tcgetattr(fd_.get(), &current) != 0) return refused(kMsgGetAttr);
  tcflush(fd_.get(), TCIOFLUSH);
  if (tcsetattr(fd_.get(), TCSANOW, &*wanted) != 0) return refused(kMsgSetAttr);
  settings_ = *wanted;
  return 0;
}

int SerialPort::close() {
  if (!is_open()) return -EBADF;
  return fd_.close() == 0 ? 0 : -errno;
}

int SerialPort::reopen() {
  if (!line_) return -EBADF;
  const LineSettings line = *line_;
  return open_line(line);
}

// A device that went away fails reads and writes with EIO, ENXIO or ENODEV.
int SerialPort::failed() {
  const int error = errno;
  if (error == EIO || error == ENXIO || error == ENODEV) gone_errno_ = error;
  return -error;
}

const char* SerialPort::lost_reason(bool check_path) {
  if (!is_open()) return nullptr;
  if (gone_errno_ != 0) return strerrordesc_np(gone_errno_);
  // A hung-up line may still hold bytes received before: they are read first.
  pollfd p{fd_.get(), POLLIN, 0};
  if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && waiting() <= 0)
    return kHangUp;
  if (check_path) {
    struct stat named {};
    struct stat held {};
    if (::stat(path_.c_str(), &named) == 0 && ::fstat(fd_.get(), &held) == 0 &&
        (named.st_rdev != held.st_rdev || named.st_ino != held.st_ino ||
         named.st_dev != held.st_dev))
      return kOtherDevice;
  }
  return nullptr;
}

int SerialPort::write(const void* buffer, int length) {
  if (!is_open()) return -EBADF;
  if (length < 0) return -EINVAL;
  const ssize_t n = ::write(fd_.get(), buffer, static_cast<size_t>(length));
  if (n < 0) return failed();
  // The output queue took only part: the rest would have blocked.
  return n == length ? length : -EAGAIN;
}

int SerialPort::read(void* buffer, int length) {
  if (!is_open()) return -EBADF;
  if (length < 0) return -EINVAL;
  const ssize_t n = ::read(fd_.get(), buffer, static_cast<size_t>(length));
  return n < 0 ? failed() : static_cast<int>(n);
}

int SerialPort::waiting() const {
  if (!is_open()) return -EBADF;
  int count = 0;
  if (ioctl(fd_.get(), FIONREAD, &count) != 0) return -errno;
  return count;
}

void SerialPort::wait(uint64_t micros) {
  // Wakes as soon as a byte arrives, so that a line is taken in at once; a
  // closed or hung-up port (it polls ready at once) sleeps the whole pause.
  if (is_open()) {
    pollfd p{fd_.get(), POLLIN, 0};
    const timespec limit{static_cast<time_t>(micros / 1000000),
                         static_cast<long>(micros % 1000000) * 1000};
    const int ready = ::ppoll(&p, 1, &limit, nullptr);
    if (ready == 0) return;
    if (ready > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) == 0) return;
  }
  clock_sleep_us(micros);
}
