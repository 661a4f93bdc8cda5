// The UART functions: line parameters in everyday units over the port library,
// with the in-use table guarding against opening a port twice.
#include "serial/uart.h"

#include <algorithm>
#include <array>
#include <cstdio>

#include "serial/port_tables.h"
#include "serial/serial_port.h"

namespace {

// 1 while a port is open through UART_Init, indexed by the port byte.
std::array<int32_t, 256> hComUse{};

}  // namespace

int UART_Init(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop) {
  if (hComUse[port] != 0) return UART_IN_USE;
  SerialPort* record = numbered_port(port);
  if (record == nullptr) {
    return format_byte(data_bits, parity, stop) < 0 ? ZOL_BAD_PARAM : ZOL_BAD_PORT;
  }
  const int rc = record->open_line(baud, data_bits, parity, stop);
  // Open is what counts: a port left with the open settings is still ours.
  if (rc != ZOL_BAD_PARAM && record->is_open()) hComUse[port] = 1;
  return rc;
}

int UART_Close(uint8_t port) {
  if (hComUse[port] != 0) {
    zol_Close(port);
    hComUse[port] = 0;
  }
  return 0;
}

int UART_Send(uint8_t port, const void* buffer, int length) {
  if (hComUse[port] == 0) return UART_NOT_IN_USE;
  return zol_Write(port, buffer, length) < 0 ? UART_WRITE_FAILED : 0;
}

int UART_Recv(uint8_t port, void* buffer, int length) {
  return zol_Read(port, buffer, length);
}

int UART_DataSizeInCom(uint8_t port) {
  return zol_InpQueueLen(port);
}

uint8_t UART_GetChar(uint8_t port) {
  uint8_t byte = 0;
  zol_Read(port, &byte, 1);
  return byte;
}

int UART_RxClear(uint8_t port) {
  return zol_Flush(port, ZOL_FLUSH_INPUT);
}

int UART_TxClear(uint8_t port) {
  return zol_Flush(port, ZOL_FLUSH_OUTPUT);
}
