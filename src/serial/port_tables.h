// Conversion tables and terminal-settings builders of the serial layer, kept
// apart from the device I/O so that they can be checked on their own.
#pragma once

#include <termios.h>

#include <array>
#include <cstdint>

// Port numbers 0 to 32 are accepted, so the record table has 33 entries.
inline constexpr int kMaxPort = 32;
inline constexpr int kBaudCount = 20;
inline constexpr int kFormatCount = 64;
// The index used for 115200 bit/s and for every rate not in the table.
inline constexpr int kDefaultBaudIndex = 16;

// Terminal speed code of each baud index (7200 bit/s has no speed of its own
// and repeats 4800).
extern const std::array<uint32_t, kBaudCount> Baud_Table;
// The rate in bit/s that selects each baud index.
extern const std::array<uint32_t, kBaudCount> Baud_Rates;
// Format-byte parts: data bits - 5, parity code, stop-bit code.
extern const std::array<uint8_t, 4> DataByteArray;
extern const std::array<uint8_t, 5> ParityArray;
extern const std::array<uint8_t, 3> StopBitsArray;

// Baud index of a rate in bit/s; kDefaultBaudIndex for a rate not listed.
int baud_index_of(uint32_t rate);

// The format byte for data bits (5-8), a parity code (0-4) and a stop-bit code
// (0-2); -1 when any of them is out of range.
int format_byte(uint8_t data_bits, uint8_t parity, uint8_t stop);

// The settings a freshly opened port gets from the ones read off the device:
// 115200 bit/s, 8N1, canonical input, VTIME 0, VMIN 1.
termios open_settings(const termios& current);

// The raw-mode settings of a baud index (0-19) and format byte (0-63), built
// from zero: speed in the control flags only, parity check on for odd or even.
termios config_settings(int baud_index, int format);
