// Inside the Modbus module: the exchange that the write-back uses.
#pragma once

#include <array>
#include <cstdint>

#include "config/configuration.h"
#include "modbus/modbus_io.h"

// Which positions of a device's block a write-back sets; the others keep the
// device's current values.
using ChannelMask = std::array<bool, kMaxSlots>;

// One exchange that writes a device's coils (kWriteDo, from do_buf) or
// holding registers (kWriteAo, from ao_buf), logging as modbus_exchange does.
// Positions that `mapped` does not mark are first read from the device in the
// same connection (without a log line) and copied into the buffer, so that the
// write leaves them as they are. When that read fails, the read and write
// error lines are printed and nothing is written. kOk or kUnreachable.
IoResult modbus_write_merged(uint8_t* do_buf, uint16_t* ao_buf, const MbDevice* device,
                             Function function, const ChannelMask& mapped);
