// The gateway's fixed settings: file locations, version, ports and time
// limits, the same on every board. Everything that varies is read from the
// configuration files at start-up (config/configuration.h) and handed down
// by reference from app/.
#pragma once

#include <cstdint>

inline constexpr const char* configFile_prog = "/korvel/quorvane/nbiot_prog.ini";
inline constexpr const char* configFile_mb = "/korvel/quorvane/quorvane.ini";
inline constexpr const char* configFile_mb_mapping = "/korvel/quorvane/quorvane_mapping.ini";
// Optional: absent, every option holds its default.
inline constexpr const char* configFile_options = "/korvel/quorvane/quorvane_options.ini";
inline constexpr const char* str_ver = "V1.00_for_ME3616";
inline constexpr const char* str_date = "2018/12/07";
// The numbers the console calls the modem's and the GPS receiver's ports by.
inline constexpr uint8_t modem_port = 10;
inline constexpr uint8_t gps_port = 11;
inline constexpr int32_t wait_timeout = 30;  // s: after this a cycle ends unanswered
inline constexpr int32_t rebootTime = 120;   // s: registration, before the modem is restarted
inline constexpr int32_t recv_timeout = 60;  // s: an awaited answer
