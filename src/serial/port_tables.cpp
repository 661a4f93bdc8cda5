#include "serial/port_tables.h"

const std::array<uint32_t, kBaudCount> Baud_Table = {
    B50,   B75,   B110,  B134,   B150,   B300,   B600,    B1200,   B1800,   B2400,
    B4800, B4800, B9600, B19200, B38400, B57600, B115200, B230400, B460800, B921600};

const std::array<uint32_t, kBaudCount> Baud_Rates = {
    50,   75,   110,  134,   150,   300,   600,    1200,   1800,   2400,
    4800, 7200, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};

const std::array<uint8_t, 4> DataByteArray = {0, 1, 2, 3};
const std::array<uint8_t, 5> ParityArray = {0, 8, 24, 40, 56};
const std::array<uint8_t, 3> StopBitsArray = {0, 4, 4};

namespace {

constexpr int kFormatDataBits = 0x03;
constexpr int kFormatTwoStop = 0x04;
constexpr int kFormatParity = 0x38;
constexpr int kParityOdd = 8;
constexpr int kParityEven = 24;

constexpr std::array<tcflag_t, 4> kCharSize = {CS5, CS6, CS7, CS8};

}  // namespace

int baud_index_of(uint32_t rate) {
  for (int i = 0; i < kBaudCount; ++i) {
    if (Baud_Rates[i] == rate) return i;
  }
  return kDefaultBaudIndex;
}

int format_byte(uint8_t data_bits, uint8_t parity, uint8_t stop) {
  if (data_bits < 5 || data_bits - 5 >= static_cast<int>(DataByteArray.size()) ||
      parity >= ParityArray.size() || stop >= StopBitsArray.size()) {
    return -1;
  }
  return StopBitsArray[stop] | DataByteArray[data_bits - 5] | ParityArray[parity];
}

termios open_settings(const termios& current) {
  termios t = current;
  t.c_cflag = CREAD | CLOCAL | B115200 | CS8;
  t.c_cflag &= ~(CSTOPB | PARENB);
  t.c_iflag &= ~INPCK;
  t.c_oflag = 0;
  t.c_lflag = ICANON;
  t.c_cc[VTIME] = 0;
  t.c_cc[VMIN] = 1;
  return t;
}

termios config_settings(int baud_index, int format) {
  termios t{};
  t.c_cflag = CREAD | CLOCAL | Baud_Table[baud_index] | kCharSize[format & kFormatDataBits];
  if (format & kFormatTwoStop) t.c_cflag |= CSTOPB;
  switch (format & kFormatParity) {
    case kParityOdd:
      t.c_cflag |= PARENB | PARODD;
      t.c_iflag = INPCK;
      break;
    case kParityEven:
      t.c_cflag |= PARENB;
      t.c_iflag = INPCK;
      break;
    default:
      break;
  }
  t.c_cc[VTIME] = 10;
  t.c_cc[VMIN] = 1;
  return t;
}
