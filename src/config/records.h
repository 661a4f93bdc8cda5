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

constexpr int kMaxDevices = 10;
constexpr int kMaxSessions = 5;
constexpr int kMaxSlots = 32;

struct ProgInfo {
  int32_t send_interval;
  int32_t auto_connect;
  char apn[16];
  int32_t server_port;
  char server_host[64];
  int32_t mqtt_enable;
  char mqtt_host[64];
  int32_t mqtt_port;
  int32_t mqtt_bufsize;
  int32_t mqtt_keepalive;
  int32_t mqtt_version;
  char mqtt_user[32];
  char mqtt_password[32];
  char sub_topic1[128];
  char sub_topic2[128];
  char pub_topic_info[128];
  char pub_topic_di[128];
  char pub_topic_ai[128];
  char pub_topic_gps[128];
  char pub_topic_ack[128];
  int32_t mqtt_cht;
  char device_id[16];
  char sensor_id[16];
};

struct MbDevice {
  int32_t slave_id;
  int32_t do_count;
  int32_t di_count;
  int32_t ao_count;
  int32_t ai_count;
  int32_t do_start;
  int32_t di_start;
  int32_t ao_start;
  int32_t ai_start;
  int32_t is_tcp;
  char ip_addr[20];
  int32_t tcp_port;
  char serial_dev[20];
  int32_t baud;
  char parity;
  int32_t data_bits;
  int32_t stop_bits;
  int32_t do_as_di;
  int32_t ao_as_ai;
};

struct MbMapEntry {
  uint8_t dev_no;  // 1-based device number; 0 = empty
  uint8_t ch_no;   // 1-based channel within the device's block; 0 = empty
};

struct MbIoTable {
  int32_t default_mapping;
  int32_t session_count;
  int32_t session_id[kMaxSessions];
  uint8_t do_value[kMaxSessions][kMaxSlots];
  uint8_t di_value[kMaxSessions][kMaxSlots];
  uint16_t ao_value[kMaxSessions][kMaxSlots];
  uint16_t ai_value[kMaxSessions][kMaxSlots];
  char do_map_text[kMaxSessions][200];
  char di_map_text[kMaxSessions][200];
  char ao_map_text[kMaxSessions][200];
  char ai_map_text[kMaxSessions][200];
  MbMapEntry do_map[kMaxSessions][kMaxSlots];
  MbMapEntry di_map[kMaxSessions][kMaxSlots];
  MbMapEntry ao_map[kMaxSessions][kMaxSlots];
  MbMapEntry ai_map[kMaxSessions][kMaxSlots];
  int32_t do_num[kMaxSessions];
  int32_t di_num[kMaxSessions];
  int32_t ao_num[kMaxSessions];
  int32_t ai_num[kMaxSessions];
};

// --- the records --------------------------------------------------------
extern ProgInfo* programInfo;
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
extern const char* const delim1;
extern const char* const delim2;
extern const char* const delim3;

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

// --- default-mapping bookkeeping -----------------------------------------
extern int32_t mb_do_tmp[2];
extern int32_t mb_di_tmp[2];
extern int32_t mb_ao_tmp[2];
extern int32_t mb_ai_tmp[2];
extern int32_t mb_do_remain;
extern int32_t mb_di_remain;
extern int32_t mb_ao_remain;
extern int32_t mb_ai_remain;

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

// Start-up: the snapshot rings are cleared on every path (also before the version switch is looked at).
void init_globals();
// Start-up: creates programInfo, modbusIO and the ten device records,
// zero-filled, in that order. Calling it again (tests) starts from zero again,
// together with every other global above.
void allocate_records();
