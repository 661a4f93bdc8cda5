// What is still process-wide: the copies of the settings and the mapping that
// the report loop and the modem link read, the fixed settings, and the shared
// counters, flags and buffers, created zero-filled at start-up and kept until
// the process ends. Everything else gets the configuration by reference from
// start-up (app/).
//
// Sharing between threads: the per-session values live in the IoImage
// (modbus/io_image.h) and the GPS sentence in the GpsFix (common/gps_fix.h),
// each under its own locks. Flags that cross threads are atomics. Everything
// else is written during start-up, before the other threads exist, or by the
// main thread only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "config/configuration.h"

// --- the records: start-up copies the settings and the mapping into them --
extern Settings* programInfo;
extern Mapping* modbusIO;

// --- fixed settings (initial values nothing changes) ---------------------
extern const char* const configFile_prog;
extern const char* const configFile_mb;
extern const char* const configFile_mb_mapping;
extern const char* const str_ver;
extern const char* const str_date;
extern const uint8_t modem_port;
extern const uint8_t gps_port;
extern const int32_t wait_timeout;
extern const int32_t rebootTime;
extern const int32_t recv_timeout;
extern const int32_t flag_ckeck_modem;

// --- transport selection, copied from programInfo at start-up ------------
extern int32_t flag_mqtt;
extern int32_t flag_mqtt_CHT;

// Start-up: creates programInfo and modbusIO, zero-filled. Calling it again
// (tests) starts from zero again, together with every other global above.
void allocate_records();
