// The gateway's settings and mapping: three global records and the shared
// counters, flags and buffers, created zero-filled at start-up and kept until
// the process ends.
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

// The mapping, as start-up copies it in.
struct MbIoTable : Mapping {};

// --- the records: start-up copies the configuration it read into them ----
extern Settings* programInfo;
extern MbIoTable* modbusIO;
extern std::array<MbDevice*, kMaxDevices> modbus_dev;
extern int32_t mb_num;

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

// Start-up: creates programInfo, modbusIO and the ten device records,
// zero-filled, in that order. Calling it again (tests) starts from zero again,
// together with every other global above.
void allocate_records();
