#include "serial/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "common/console.h"
#include "common/paths.h"
#include "serial/port_tables.h"
#include "serial/uart.h"

namespace {

// Device path formats by port range; the doubled slashes are the device
// names as the board has always written them.
constexpr const char* kPathOnChip = "//dev//ttyO%d";
constexpr const char* kPathUsb = "//dev//ttyUSB%d";
constexpr const char* kPathAcm = "//dev//ttyACM%d";

constexpr const char* kMsgGetAttr = "API:tcgetattr() error\r\n";
constexpr const char* kMsgSetAttr = "API:tcsetattr() error\r\n";

constexpr const char* kHangUp = "hang-up";
constexpr const char* kOtherDevice = "another device at its path";

}  // namespace

std::string port_device_path(int port) {
  std::array<char, 32> path{};
  if (port < 0 || port > kMaxPort) return {};
  if (port < 10) {
    bformat(path, kPathOnChip, port);
  } else if (port < 20) {
    bformat(path, kPathUsb, port - 10);
  } else {
    bformat(path, kPathAcm, port - 20);
  }
  return resolve_path(path.data());
}

// Discards both queues and applies the settings at once.
bool SerialPort::apply(const termios& t) {
  tcflush(fd_.get(), TCIOFLUSH);
  if (tcsetattr(fd_.get(), TCSANOW, &t) != 0) return false;
  settings_ = t;
  return true;
}

int SerialPort::open_device() {
  if (number_ < 0 || number_ > kMaxPort) return ZOL_BAD_PORT;
  gone_errno_ = 0;
  // Reopening in place closes the descriptor held before.
  fd_ = UniqueFd(::open(port_device_path(number_).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!fd_.valid()) return ZOL_NOT_OPEN;

  // A device that is not a terminal is not kept open.
  termios current{};
  if (tcgetattr(fd_.get(), &current) != 0) {
    console().write(kMsgGetAttr);
    fd_.reset();
    return ZOL_SYSCALL_FAILED;
  }
  settings_ = current;
  if (!apply(open_settings(current))) {
    console().write(kMsgSetAttr);
    fd_.reset();
    return ZOL_SYSCALL_FAILED;
  }
  return ZOL_OK;
}

int SerialPort::configure(int baud_index, int format) {
  if (!is_open()) return ZOL_NOT_OPEN;
  if (baud_index < 0 || baud_index >= kBaudCount || format < 0 || format >= kFormatCount) {
    return ZOL_BAD_PARAM;
  }
  return apply(config_settings(baud_index, format)) ? ZOL_OK : ZOL_SYSCALL_FAILED;
}

int SerialPort::open_line(uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop) {
  const int format = format_byte(data_bits, parity, stop);
  if (format < 0) return ZOL_BAD_PARAM;
  line_ = Line{baud, data_bits, parity, stop};
  int rc = open_device();
  if (rc == ZOL_OK) rc = configure(baud_index_of(baud), format);
  return rc == ZOL_NOT_OPEN ? UART_OPEN_FAILED : rc;
}

int SerialPort::close() {
  if (!is_open()) return ZOL_NOT_OPEN;
  return fd_.close() == 0 ? ZOL_OK : ZOL_SYSCALL_FAILED;
}

int SerialPort::reopen() {
  if (!line_) return ZOL_NOT_OPEN;
  const Line line = *line_;
  return open_line(line.baud, line.data_bits, line.parity, line.stop);
}

// A device that went away fails reads and writes with one of these.
void SerialPort::note_failure() {
  if (errno == EIO || errno == ENXIO || errno == ENODEV) gone_errno_ = errno;
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
    if (::stat(path().c_str(), &named) == 0 && ::fstat(fd_.get(), &held) == 0 &&
        (named.st_rdev != held.st_rdev || named.st_ino != held.st_ino ||
         named.st_dev != held.st_dev))
      return kOtherDevice;
  }
  return nullptr;
}

int SerialPort::write(const void* buffer, int length) {
  if (!is_open()) return ZOL_NOT_OPEN;
  if (length < 0) return ZOL_BAD_PARAM;
  const ssize_t n = ::write(fd_.get(), buffer, static_cast<size_t>(length));
  if (n < 0) note_failure();
  return n == length ? length : ZOL_SHORT_WRITE;
}

int SerialPort::read(void* buffer, int length) {
  if (!is_open()) return ZOL_NOT_OPEN;
  if (length < 0) return ZOL_BAD_PARAM;
  const ssize_t n = ::read(fd_.get(), buffer, static_cast<size_t>(length));
  if (n < 0) note_failure();
  return n < 0 ? ZOL_SYSCALL_FAILED : static_cast<int>(n);
}

int SerialPort::flush(int which) {
  static constexpr std::array<int, 3> kQueue = {TCOFLUSH, TCIFLUSH, TCIOFLUSH};
  if (!is_open()) return ZOL_NOT_OPEN;
  if (which < 0 || which >= static_cast<int>(kQueue.size())) return ZOL_BAD_PARAM;
  return tcflush(fd_.get(), kQueue[which]) == 0 ? ZOL_OK : ZOL_SYSCALL_FAILED;
}

int SerialPort::waiting() const {
  if (!is_open()) return ZOL_NOT_OPEN;
  int count = 0;
  if (ioctl(fd_.get(), FIONREAD, &count) != 0) return ZOL_SYSCALL_FAILED;
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
