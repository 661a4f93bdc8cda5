#include "config/records.h"

#include <cstring>
#include <memory>

Settings* programInfo = nullptr;
Mapping* modbusIO = nullptr;

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

int32_t flag_mqtt = 0;
int32_t flag_mqtt_CHT = 0;


uint8_t packetID_send_check[kMaxSessions];
int32_t packetID_send = 0;
int32_t* dataLen_tmp = nullptr;
std::atomic<int32_t> flag_ACK{0};
char data_ACK[65535];

std::atomic<int32_t> flag_recv_timeout{0};
std::atomic<int32_t> flag_ZRST{0};
std::atomic<int32_t> flag_EMQDISCON{0};
int32_t udp_sock_id = 0;
int32_t mqtt_id = 0;

namespace {

// Owners of the records; the globals above point into them.
std::unique_ptr<Settings> prog_owner;
std::unique_ptr<Mapping> io_owner;
std::unique_ptr<int32_t> length_cell;

}  // namespace

void init_globals() {
  if (!length_cell) length_cell = std::make_unique<int32_t>(0);
  *length_cell = 0;
  dataLen_tmp = length_cell.get();
  std::memset(packetID_send_check, 0, sizeof packetID_send_check);
}

void allocate_records() {
  init_globals();
  prog_owner = std::make_unique<Settings>();
  io_owner = std::make_unique<Mapping>();
  programInfo = prog_owner.get();
  modbusIO = io_owner.get();
  // Value-initialised by make_unique: every field zero.
  flag_mqtt = 0;
  flag_mqtt_CHT = 0;
  packetID_send = 0;
  flag_ACK = 0;
  std::memset(data_ACK, 0, sizeof data_ACK);
  flag_recv_timeout = 0;
  flag_ZRST = 0;
  flag_EMQDISCON = 0;
  udp_sock_id = 0;
  mqtt_id = 0;
}
