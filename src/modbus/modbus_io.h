// Modbus I/O: one exchange with one device (the function engine), the scan of
// every device into a session's values, the polling loop and the write-back
// of commanded outputs.
//
// Every exchange holds its link's lock (one per serial device path or TCP
// address and port) from context creation to release, so a scan on the
// polling thread and a write-back on the main thread never talk to a link at
// the same time, while other links go on; session values live in the
// IoImage, under its locks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/heartbeat.h"
#include "config/configuration.h"
#include "modbus/io_image.h"

// Board-support initialisation: opens <root>/dev/mem and <root>/dev/GPIO on
// its first successful call and does nothing on later ones. Returns 1 when the
// board files are open, 0 when they could not be opened (tried again on the
// next call). Safe to call from any thread before every exchange.
int ostril_init();

// IoResult: what an exchange, a scan or a write-back came to (io_image.h).

// What one exchange asks of a device: every type read (the scan), one type
// read, or the coils or holding registers written (the Modbus function codes).
enum class Function : int32_t {
  kReadAll = 0,
  kReadDo = 1,
  kReadDi = 2,
  kReadAo = 3,
  kReadAi = 4,
  kWriteDo = 15,
  kWriteAo = 16,
};

// Why one step of an exchange failed: the console line that said so (without
// its line end), errno right after the call, and libmodbus's text for it.
struct ModbusFault {
  std::string what;
  int error_number = 0;
  std::string library_text;
};

// An exchange's outcome, with every fault in the order they happened.
struct Exchange {
  IoResult result = IoResult::kOk;
  std::vector<ModbusFault> faults;
};

// One exchange with one device (modbusFC): connect, the requests of
// `function`, close. Each buffer must hold 32 values; element i is channel
// i + 1. A failed write is only printed (and listed as a fault).
Exchange modbus_exchange(uint8_t* do_buf, uint8_t* di_buf, uint16_t* ao_buf, uint16_t* ai_buf,
                         const MbDevice* device, Function function);

// The scan and the write-back take the mapping (the session's slots) and the
// devices in use: device number i + 1 is devices[i] (at most kMaxDevices are
// looked at); a slot naming a device or channel beyond them is empty.

// The scan of one session (read_all_IO_values): reads every device and stores
// the values that the session's slots name. After a read error the session
// keeps the values of its last error-free scan. Stops at the first device that
// cannot be reached (kUnreachable, nothing stored).
IoResult scan_session(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                      int32_t session);

// The write-back of a command (write_all_IO_values): stores the new DO values
// (or, when do_values is null or the session has no DO slot, the new AO
// values) in the session's image and writes each device's whole block.
// Positions the session does not map keep the device's current values, read
// in the same exchange. Devices with do_as_di (ao_as_ai) are not written.
// Stops at the first device that cannot be reached (kUnreachable).
IoResult write_back(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                    int32_t session, const uint8_t* do_values, const uint16_t* ao_values);

// One pass of the polling loop without the sleep: scans sessions 0 to
// session_count - 1. kUnreachable as soon as a scan answers it, kOk otherwise.
IoResult poll_sessions_once(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices);

// The polling loop (thread_polling): prints its start line, then scans every
// session and sleeps one second, until a device cannot be reached; then it
// answers kUnreachable. beat, when given, is marked after every pass.
IoResult poll_forever(IoImage& io, const Mapping& mapping, std::span<const MbDevice> devices,
                      Beat* beat = nullptr);
