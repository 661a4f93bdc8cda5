// The port library: numbered ports over a table of SerialPort objects, one per
// port number, failures answered as negative codes. A facade for callers that
// still speak it; the gateway's own parts own their SerialPort.
#include <array>
#include <utility>

#include "serial/port_tables.h"
#include "serial/serial_port.h"
#include "serial/uart.h"

namespace {

template <size_t... N>
std::array<SerialPort, sizeof...(N)> numbered_ports(std::index_sequence<N...> /*numbers*/) {
  return {SerialPort(static_cast<int>(N))...};
}

std::array<SerialPort, kMaxPort + 1> ComPortData =
    numbered_ports(std::make_index_sequence<kMaxPort + 1>());

}  // namespace

SerialPort* numbered_port(int port) {
  return port >= 0 && port <= kMaxPort ? &ComPortData[static_cast<size_t>(port)] : nullptr;
}

int zol_Open(int port) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->open_device() : ZOL_BAD_PORT;
}

int zol_ConfigPort(int port, int baud_index, int format) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->configure(baud_index, format) : ZOL_BAD_PORT;
}

int zol_Close(int port) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->close() : ZOL_BAD_PORT;
}

int zol_Write(int port, const void* buffer, int length) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->write(buffer, length) : ZOL_BAD_PORT;
}

int zol_Putch(int port, uint8_t byte) {
  return zol_Write(port, &byte, 1);
}

int zol_Read(int port, void* buffer, int length) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->read(buffer, length) : ZOL_BAD_PORT;
}

int zol_Getch(int port) {
  constexpr int kGetchEof = 251;
  uint8_t byte = 0;
  const int rc = zol_Read(port, &byte, 1);
  if (rc == 1) return byte;
  if (rc == 0) return kGetchEof;
  return rc & 0xFF;
}

int zol_Flush(int port, int which) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->flush(which) : ZOL_BAD_PORT;
}

int zol_InpQueueLen(int port) {
  SerialPort* p = numbered_port(port);
  return p != nullptr ? p->waiting() : ZOL_BAD_PORT;
}
