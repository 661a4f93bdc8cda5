// The gateway's settings and I/O image: three global records and the shared
// counters, flags and buffers, created zero-filled at start-up and kept until
// the process ends.
//
// Sharing between threads: the per-session values (do_value ... ai_value) are
// written by the polling thread and by command write-backs while the report
// loop reads them, so every access goes through session_lock(s); gps_data is
// guarded by gps_lock. Flags that cross threads are atomics. Everything else is
// written during start-up, before the other threads exist, or by the main
// thread only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "config/configuration.h"

// The mapping, as start-up copies it in, and the per-session values.
struct MbIoTable : Mapping {
  uint8_t do_value[kMaxSessions][kMaxSlots];
  uint8_t di_value[kMaxSessions][kMaxSlots];
  uint16_t ao_value[kMaxSessions][kMaxSlots];
  uint16_t ai_value[kMaxSessions][kMaxSlots];
};

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

// --- snapshot rings and scan bookkeeping ---------------------------------
extern uint16_t modbus_all_do_buf[4][kMaxSlots];
extern uint16_t modbus_all_di_buf[4][kMaxSlots];
extern uint16_t modbus_all_ao_buf[4][kMaxSlots];
extern uint16_t modbus_all_ai_buf[4][kMaxSlots];
extern int32_t buf_index;
extern std::atomic<int32_t> flag_modbus_err;

// --- report cycle (main thread) ------------------------------------------
extern uint8_t packetID_send_check[kMaxSessions];
extern int32_t packetID_send;
extern int32_t* dataLen_tmp;
extern std::atomic<int32_t> flag_ACK;
extern char data_ACK[65535];

// --- modem link flags ----------------------------------------------------
extern std::atomic<int32_t> flag_recv_timeout;
extern std::atomic<int32_t> flag_ZRST;
extern std::atomic<int32_t> flag_EMQDISCON;
extern int32_t udp_sock_id;
extern int32_t mqtt_id;

// --- GPS -----------------------------------------------------------------
extern char gps_data[128];
std::mutex& gps_lock();

// Guards do_value, di_value, ao_value and ai_value of one session.
std::mutex& session_lock(int session);

// A consistent copy of one session's values, taken under its lock.
struct SessionValues {
  uint8_t do_value[kMaxSlots];
  uint8_t di_value[kMaxSlots];
  uint16_t ao_value[kMaxSlots];
  uint16_t ai_value[kMaxSlots];
};
SessionValues copy_session_values(int session);

// A copy of gps_data taken under its lock (always NUL-terminated).
void copy_gps_data(char (&out)[128]);
// Stores a sentence into gps_data under its lock; text longer than 127
// characters is refused (false).
bool store_gps_data(const char* text);

// Start-up: the length cell, the pending bits and the snapshot rings are
// cleared on every path (also before the version switch is looked at).
void init_globals();
// Start-up: creates programInfo, modbusIO and the ten device records,
// zero-filled, in that order. Calling it again (tests) starts from zero again,
// together with every other global above.
void allocate_records();
