#include "config/records.h"

#include <cstring>
#include <memory>

ProgInfo* programInfo = nullptr;
MbIoTable* modbusIO = nullptr;
std::array<MbDevice*, kMaxDevices> modbus_dev{};
int32_t mb_num = 0;

const char* const configFile_prog = "/korvel/quorvane/nbiot_prog.ini";
const char* const configFile_mb = "/korvel/quorvane/quorvane.ini";
const char* const configFile_mb_mapping = "/korvel/quorvane/quorvane_mapping.ini";
const char* const str_ver = "V1.00_for_ME3616";
const char* const str_date = "2018/12/07";
const uint8_t modem_port = 10;
const uint8_t gps_port = 11;
const int32_t wait_timeout = 30;
const int32_t rebootTime = 120;
const int32_t recv_timeout = 60;
const int32_t flag_ckeck_modem = 1;
const char* const delim1 = ",";
const char* const delim2 = "\r";
const char* const delim3 = ":";

int32_t flag_mqtt = 0;
int32_t flag_mqtt_CHT = 0;

uint16_t modbus_all_do_buf[4][kMaxSlots];
uint16_t modbus_all_di_buf[4][kMaxSlots];
uint16_t modbus_all_ao_buf[4][kMaxSlots];
uint16_t modbus_all_ai_buf[4][kMaxSlots];
int32_t buf_index = 0;
std::atomic<int32_t> flag_modbus_err{0};

int32_t mb_do_tmp[2];
int32_t mb_di_tmp[2];
int32_t mb_ao_tmp[2];
int32_t mb_ai_tmp[2];
int32_t mb_do_remain = 0;
int32_t mb_di_remain = 0;
int32_t mb_ao_remain = 0;
int32_t mb_ai_remain = 0;

char gps_data[128];

namespace {

// Owners of the records; the globals above point into them.
std::unique_ptr<ProgInfo> prog_owner;
std::unique_ptr<MbIoTable> io_owner;
std::array<std::unique_ptr<MbDevice>, kMaxDevices> dev_owner;

std::array<std::mutex, kMaxSessions> session_mutexes;
std::mutex gps_mutex;

}  // namespace

std::mutex& gps_lock() { return gps_mutex; }

std::mutex& session_lock(int session) {
  return session_mutexes.at(static_cast<size_t>(session));
}

SessionValues copy_session_values(int session) {
  SessionValues v{};
  std::lock_guard<std::mutex> lock(session_lock(session));
  std::memcpy(v.do_value, modbusIO->do_value[session], sizeof v.do_value);
  std::memcpy(v.di_value, modbusIO->di_value[session], sizeof v.di_value);
  std::memcpy(v.ao_value, modbusIO->ao_value[session], sizeof v.ao_value);
  std::memcpy(v.ai_value, modbusIO->ai_value[session], sizeof v.ai_value);
  return v;
}

void copy_gps_data(char (&out)[128]) {
  std::lock_guard<std::mutex> lock(gps_mutex);
  std::memcpy(out, gps_data, sizeof out);
  out[127] = '\0';
}

bool store_gps_data(const char* text) {
  size_t n = strnlen(text, 128);
  if (n > 127) return false;
  std::lock_guard<std::mutex> lock(gps_mutex);
  std::memset(gps_data, 0, sizeof gps_data);
  std::memcpy(gps_data, text, n);
  return true;
}

void init_globals() {
  std::memset(modbus_all_do_buf, 0, sizeof modbus_all_do_buf);
  std::memset(modbus_all_di_buf, 0, sizeof modbus_all_di_buf);
  std::memset(modbus_all_ao_buf, 0, sizeof modbus_all_ao_buf);
  std::memset(modbus_all_ai_buf, 0, sizeof modbus_all_ai_buf);
}

void allocate_records() {
  init_globals();
  prog_owner = std::make_unique<ProgInfo>();
  io_owner = std::make_unique<MbIoTable>();
  programInfo = prog_owner.get();
  modbusIO = io_owner.get();
  for (size_t i = 0; i < dev_owner.size(); ++i) {
    dev_owner[i] = std::make_unique<MbDevice>();
    modbus_dev[i] = dev_owner[i].get();
  }
  // Value-initialised by make_unique: every field zero.
  mb_num = 0;
  flag_mqtt = 0;
  flag_mqtt_CHT = 0;
  buf_index = 0;
  flag_modbus_err = 0;
  std::memset(mb_do_tmp, 0, sizeof mb_do_tmp);
  std::memset(mb_di_tmp, 0, sizeof mb_di_tmp);
  std::memset(mb_ao_tmp, 0, sizeof mb_ao_tmp);
  std::memset(mb_ai_tmp, 0, sizeof mb_ai_tmp);
  mb_do_remain = mb_di_remain = mb_ao_remain = mb_ai_remain = 0;
  std::memset(gps_data, 0, sizeof gps_data);
}
