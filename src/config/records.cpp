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

namespace {

// Owners of the records; the globals above point into them.
std::unique_ptr<Settings> prog_owner;
std::unique_ptr<Mapping> io_owner;

}  // namespace

void allocate_records() {
  prog_owner = std::make_unique<Settings>();
  io_owner = std::make_unique<Mapping>();
  programInfo = prog_owner.get();
  modbusIO = io_owner.get();
  // Value-initialised by make_unique: every field zero.
  flag_mqtt = 0;
  flag_mqtt_CHT = 0;
}
