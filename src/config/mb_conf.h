// The Modbus device file, read by line position: a count line, then per device
// a header line and 19 value lines.
#pragma once

#include <cstddef>
#include <iterator>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"
#include "config/fields.h"

// The file is cut into lines as a fixed 50-byte line buffer cuts it.
inline constexpr size_t kMbLineBuffer = 50;

// A device block's value lines, numbered from 1 (lines without "=" inside a
// block are not counted).
inline constexpr Field<MbDevice> kDeviceFields[] = {
    int_field(1, "slave_id", &MbDevice::slave_id),
    count_field(2, "do_count", &MbDevice::do_count),
    count_field(3, "di_count", &MbDevice::di_count),
    count_field(4, "ao_count", &MbDevice::ao_count),
    count_field(5, "ai_count", &MbDevice::ai_count),
    int_field(6, "do_start", &MbDevice::do_start),
    int_field(7, "di_start", &MbDevice::di_start),
    int_field(8, "ao_start", &MbDevice::ao_start),
    int_field(9, "ai_start", &MbDevice::ai_start),
    choice_field<&MbDevice::transport>(10, "is_tcp"),
    text_field<&MbDevice::ip_addr>(11, "ip_addr"),
    int_field(12, "tcp_port", &MbDevice::tcp_port),
    text_field<&MbDevice::serial_dev>(13, "serial_dev"),
    int_field(14, "baud", &MbDevice::baud),
    char_field(15, "parity", &MbDevice::parity),
    int_field(16, "data_bits", &MbDevice::data_bits),
    int_field(17, "stop_bits", &MbDevice::stop_bits),
    flag_field(18, "do_as_di", &MbDevice::do_as_di),
    flag_field(19, "ao_as_ai", &MbDevice::ao_as_ai),
};
inline constexpr int kDeviceValueLines = static_cast<int>(std::size(kDeviceFields));

// The devices in the file's text, as many as the count line declares; its
// console text is the count and each device's header. file: the name a
// refusal shows.
ConfResult<DeviceList> parse_mb_conf(std::string_view text, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT).
ConfResult<DeviceList> read_mb_conf(const char* path);
