// Numbered serial ports on Linux terminal devices, in two levels: the port
// library (zol_*), which answers negative codes, and the UART functions above
// it, which take line parameters in everyday units and keep an in-use table.
//
// Port numbers: 0-9 are ttyO0-9, 10-19 ttyUSB0-9, 20-32 ttyACM0-12, each path
// resolved under QUORVANE_ROOT.
#pragma once

#include <cstdint>
#include <string>

// Port library results.
inline constexpr int ZOL_OK = 0;
inline constexpr int ZOL_BAD_PORT = -1;
inline constexpr int ZOL_SYSCALL_FAILED = -2;
inline constexpr int ZOL_NOT_OPEN = -3;
inline constexpr int ZOL_BAD_PARAM = -4;
inline constexpr int ZOL_SHORT_WRITE = -6;

// UART function results.
inline constexpr int UART_OPEN_FAILED = 2;
inline constexpr int UART_NOT_IN_USE = 8;
inline constexpr int UART_WRITE_FAILED = 10;
inline constexpr int UART_IN_USE = 25;

// zol_Flush selectors.
inline constexpr int ZOL_FLUSH_OUTPUT = 0;
inline constexpr int ZOL_FLUSH_INPUT = 1;
inline constexpr int ZOL_FLUSH_BOTH = 2;

class SerialPort;
// The port library's record of a port number, or nullptr outside 0 to 32.
SerialPort* numbered_port(int port);

int zol_Open(int port);
int zol_ConfigPort(int port, int baud_index, int format);
int zol_Close(int port);
int zol_Write(int port, const void* buffer, int length);
int zol_Putch(int port, uint8_t byte);
int zol_Read(int port, void* buffer, int length);
int zol_Getch(int port);
int zol_Flush(int port, int which);
int zol_InpQueueLen(int port);

int UART_Init(uint8_t port, uint32_t baud, uint8_t data_bits, uint8_t parity, uint8_t stop);
int UART_Close(uint8_t port);
int UART_Send(uint8_t port, const void* buffer, int length);
int UART_Recv(uint8_t port, void* buffer, int length);
int UART_DataSizeInCom(uint8_t port);
uint8_t UART_GetChar(uint8_t port);
int UART_RxClear(uint8_t port);
int UART_TxClear(uint8_t port);
