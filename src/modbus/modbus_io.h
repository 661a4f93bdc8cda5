// Modbus I/O: one exchange with one device (the function engine), the scan of
// every device into a session's values, the polling thread and the write-back
// of commanded outputs.
//
// Every exchange holds one link lock from context creation to release, so a
// scan on the polling thread and a write-back on the main thread never talk
// to a link at the same time; session values change only under
// session_lock(s).
#pragma once

#include <cstdint>

#include "config/records.h"

// Board-support initialisation: opens <root>/dev/mem and <root>/dev/GPIO on
// its first successful call and does nothing on later ones. Returns 1 when the
// board files are open, 0 when they could not be opened (tried again on the
// next call). Safe to call from any thread before every exchange.
int ostril_init();

// One exchange with one device: connect, the requests that the function code
// selects (0 reads all four types, 1 to 4 read one, 15 writes the coils, 16
// the holding registers), close. Each buffer must hold 32 values; element i is
// channel i + 1. Returns 1 when the connection was made (also when a request
// failed; failed reads set flag_modbus_err), -1 when no context could be
// created or the connection failed.
int32_t modbusFC(uint8_t* do_buf, uint8_t* di_buf, uint16_t* ao_buf, uint16_t* ai_buf,
                 const MbDevice* device, int32_t function);

// The scan of one session: reads all device_count devices and stores the
// values that the session's slots name. After a read error the session keeps
// the values of its last error-free scan. Ends the process (status 1) when a
// device cannot be reached.
void read_all_IO_values(int32_t session, int32_t device_count);

// The write-back of a command: stores the new DO values (or, when do_values is
// null or the session has no DO slot, the new AO values) in the session's
// image and writes each device's whole block. Positions the session does not
// map keep the device's current values, read in the same exchange. Devices
// with do_as_di (ao_as_ai) are not written. Ends the process (status 1) when a
// device cannot be reached.
void write_all_IO_values(int32_t session, int32_t device_count, const uint8_t* do_values,
                         const uint16_t* ao_values);

// The polling thread's body: scans every session, sleeps one second, for ever.
[[noreturn]] void thread_polling();

// Start-up: runs thread_polling on a thread of its own (detached). When the
// thread cannot be created, prints "Create polling thread error!!" and ends the
// process (status 1).
void start_polling_thread();

// One pass of the polling loop without the sleep: scans sessions 0 to
// session_count - 1 with mb_num devices.
void poll_sessions_once();

// Forgets the per-session last good values and the write-back bookkeeping
// (tests, together with allocate_records()).
void modbus_io_reset();
