// The port library: one record per port number, the device reached through the
// POSIX terminal interface, failures answered as negative codes.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>

#include "common/console.h"
#include "common/paths.h"
#include "common/unique_fd.h"
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

constexpr int kGetchEof = 251;

struct ComPort {
  UniqueFd fd;
  termios settings{};
};

std::array<ComPort, kMaxPort + 1> ComPortData;

bool port_in_range(int port) {
  return port >= 0 && port <= kMaxPort;
}

// The range and open checks every function but zol_Open starts with.
int check_port(int port) {
  if (!port_in_range(port)) return ZOL_BAD_PORT;
  if (!ComPortData[port].fd.valid()) return ZOL_NOT_OPEN;
  return ZOL_OK;
}

// Discards both queues and applies the settings at once.
bool apply_settings(ComPort& rec, const termios& t) {
  tcflush(rec.fd.get(), TCIOFLUSH);
  if (tcsetattr(rec.fd.get(), TCSANOW, &t) != 0) return false;
  rec.settings = t;
  return true;
}

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

const termios& applied_settings(int port) {
  return ComPortData.at(port).settings;
}

int zol_Open(int port) {
  if (!port_in_range(port)) return ZOL_BAD_PORT;
  ComPort& rec = ComPortData[port];
  // Reopening in place closes the descriptor the record held before.
  rec.fd = UniqueFd(open(port_device_path(port).c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
  if (!rec.fd.valid()) return ZOL_NOT_OPEN;

  termios current{};
  if (tcgetattr(rec.fd.get(), &current) != 0) {
    console().write(kMsgGetAttr);
    return ZOL_SYSCALL_FAILED;
  }
  rec.settings = current;
  if (!apply_settings(rec, open_settings(current))) {
    console().write(kMsgSetAttr);
    return ZOL_SYSCALL_FAILED;
  }
  return ZOL_OK;
}

int zol_ConfigPort(int port, int baud_index, int format) {
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  if (baud_index < 0 || baud_index >= kBaudCount || format < 0 || format >= kFormatCount) {
    return ZOL_BAD_PARAM;
  }
  return apply_settings(ComPortData[port], config_settings(baud_index, format))
             ? ZOL_OK
             : ZOL_SYSCALL_FAILED;
}

int zol_Close(int port) {
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  return ComPortData[port].fd.close() == 0 ? ZOL_OK : ZOL_SYSCALL_FAILED;
}

int zol_Write(int port, const void* buffer, int length) {
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  if (length < 0) return ZOL_BAD_PARAM;
  // One write, no retry: a short write is the caller's failure to handle.
  ssize_t n = write(ComPortData[port].fd.get(), buffer, static_cast<size_t>(length));
  return n == length ? length : ZOL_SHORT_WRITE;
}

int zol_Putch(int port, uint8_t byte) {
  return zol_Write(port, &byte, 1);
}

int zol_Read(int port, void* buffer, int length) {
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  if (length < 0) return ZOL_BAD_PARAM;
  ssize_t n = read(ComPortData[port].fd.get(), buffer, static_cast<size_t>(length));
  return n < 0 ? ZOL_SYSCALL_FAILED : static_cast<int>(n);
}

int zol_Getch(int port) {
  uint8_t byte = 0;
  int rc = zol_Read(port, &byte, 1);
  if (rc == 1) return byte;
  if (rc == 0) return kGetchEof;
  return rc & 0xFF;
}

int zol_Flush(int port, int which) {
  static constexpr std::array<int, 3> kQueue = {TCOFLUSH, TCIFLUSH, TCIOFLUSH};
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  if (which < 0 || which >= static_cast<int>(kQueue.size())) return ZOL_BAD_PARAM;
  return tcflush(ComPortData[port].fd.get(), kQueue[which]) == 0 ? ZOL_OK : ZOL_SYSCALL_FAILED;
}

int zol_InpQueueLen(int port) {
  if (int rc = check_port(port); rc != ZOL_OK) return rc;
  int waiting = 0;
  if (ioctl(ComPortData[port].fd.get(), FIONREAD, &waiting) != 0) return ZOL_SYSCALL_FAILED;
  return waiting;
}
