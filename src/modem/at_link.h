// The AT command exchange with the modem and the receive routine. This is the
// only reader of the modem's port and the only writer of AT commands to it.
//
// Receive state is kept per port: bytes read from the device that follow the
// line which ended a call wait for the next call. Each port has one user
// thread (the modem port the main thread, the GPS port the GPS thread).
#pragma once

#include <cstdint>

// Size of every response buffer handed to recv_str and send_recv_str.
inline constexpr int kResponseSize = 1024;

// Prints "Send: <command>" and writes the command (which ends in CR LF) to the
// port. Answers UART_Send's code.
int send_str(uint8_t port, const char* command);

// Sends the command, raises flag_wait_cmd and collects the answer into
// response (kResponseSize bytes) up to its final "OK" or "ERROR" line. A modem
// that stays silent is waited for as long as recv_str would wait from a first
// byte; then flag_recv_timeout is raised and the call returns as after a
// time-out.
void send_recv_str(uint8_t port, const char* command, char* response);

// The receive routine. response: kResponseSize bytes, cleared at every call.
// Answers 0 when no byte was waiting, else 1 when the call has reached one of
// its ends. line_mode 0 (response mode, the modem): lines are collected up to a
// line holding "OK" or "ERROR", and unsolicited reports are acted on (and end
// the call when no command result is awaited). line_mode non-zero (GPS): one
// line, commas stored as colons. Either mode ends at the port's time-out, 60 s
// from the first byte (10 s on the modem port while flag_ZRST is set); only the
// modem port's time-out raises flag_recv_timeout.
int recv_str(uint8_t port, char* response, uint8_t line_mode);
// The same; *timed_out (when given) tells whether the call ended at its
// time-out, on any port.
int recv_str(uint8_t port, char* response, uint8_t line_mode, bool* timed_out);

// Bytes from hex text: byte i from the characters 2i and 2i+1 (0-9, A-F, a-f;
// anything else counts 0), logged. hex holds at least 2 x count characters;
// out at least count bytes.
void recon_message(int32_t count, const char* hex, uint8_t* out);

// Forgets the bytes kept for the port's next receive call.
void recv_reset(uint8_t port);

// True when a complete line (one ending in LF) waits for the port's next
// receive call. Takes in what waits on the device first.
bool line_waiting(uint8_t port);
