// Device files as an integrator writes them, and what a refusal line must
// hold, for the device-file and mapping tests.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct DeviceSpec {
  int do_count = 0;
  int di_count = 0;
  int ao_count = 0;
  int ai_count = 0;
  int do_as_di = 0;
  int ao_as_ai = 0;
};

// One block: header line and the 19 value lines, CR LF line ends.
inline std::string device_block(int number, const DeviceSpec& d) {
  auto v = [](const char* name, const std::string& value) {
    return std::string(name) + "=" + value + "\r\n";
  };
  char header[32];
  std::snprintf(header, sizeof header, "[MODBUS%02d]\r\n", number);
  return header + v("slave_id", std::to_string(number)) +
         v("do_count", std::to_string(d.do_count)) + v("di_count", std::to_string(d.di_count)) +
         v("ao_count", std::to_string(d.ao_count)) + v("ai_count", std::to_string(d.ai_count)) +
         v("do_start", "0") + v("di_start", "100") + v("ao_start", "200") + v("ai_start", "300") +
         v("is_tcp", "1") + v("ip_addr", "127.0.0.1") +
         v("tcp_port", std::to_string(1500 + number)) + v("serial_dev", "/dev/ttyS1") +
         v("baud", "9600") + v("parity", "E") + v("data_bits", "8") + v("stop_bits", "1") +
         v("do_as_di", std::to_string(d.do_as_di)) + v("ao_as_ai", std::to_string(d.ao_as_ai));
}

inline std::string device_file(const std::vector<DeviceSpec>& devices) {
  std::string text = "modbus_number=" + std::to_string(devices.size()) + "\r\n";
  for (size_t i = 0; i < devices.size(); ++i) {
    text += device_block(static_cast<int>(i) + 1, devices[i]);
  }
  return text;
}

// True when a refusal line names line n ("line 1" is not found in "line 12").
inline bool names_line(const std::string& refusal, int n) {
  std::string key = "line " + std::to_string(n);
  for (size_t at = refusal.find(key); at != std::string::npos; at = refusal.find(key, at + 1)) {
    size_t after = at + key.size();
    if (after == refusal.size() || refusal[after] < '0' || refusal[after] > '9') return true;
  }
  return false;
}
