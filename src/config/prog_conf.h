// The program configuration file, read by line position.
#pragma once

#include <cstddef>
#include <iterator>
#include <optional>
#include <string_view>

#include "config/conf_text.h"
#include "config/configuration.h"
#include "config/fields.h"

// The file is cut into lines as a fixed 128-byte line buffer cuts it.
inline constexpr size_t kProgLineBuffer = 128;

// The file's fields by line position (counted from 0; a section line counts
// too). Positions without a row (3, 6, 22) are read and not used.
inline constexpr Field<Settings> kProgFields[] = {
    int_field(0, "send_interval", &Settings::send_interval),
    flag_field(1, "auto_connect", &Settings::auto_connect),
    text_field<&Settings::apn>(2, "apn"),
    int_field(4, "server_port", &Settings::server_port),
    text_field<&Settings::server_host>(5, "server_host"),
    choice_field<&Settings::transport>(7, "mqtt_enable"),
    text_field<&Settings::mqtt_host>(8, "mqtt_host"),
    int_field(9, "mqtt_port", &Settings::mqtt_port),
    int_field(10, "mqtt_bufsize", &Settings::mqtt_bufsize),
    int_field(11, "mqtt_keepalive", &Settings::mqtt_keepalive),
    int_field(12, "mqtt_version", &Settings::mqtt_version),
    text_field<&Settings::mqtt_user>(13, "mqtt_user"),
    text_field<&Settings::mqtt_password>(14, "mqtt_password"),
    text_field<&Settings::sub_topic1>(15, "sub_topic1"),
    text_field<&Settings::sub_topic2>(16, "sub_topic2"),
    text_field<&Settings::pub_topic_info>(17, "pub_topic_info"),
    text_field<&Settings::pub_topic_di>(18, "pub_topic_di"),
    text_field<&Settings::pub_topic_ai>(19, "pub_topic_ai"),
    text_field<&Settings::pub_topic_gps>(20, "pub_topic_gps"),
    text_field<&Settings::pub_topic_ack>(21, "pub_topic_ack"),
    flag_field(23, "mqtt_cht", &Settings::mqtt_cht),
    text_field<&Settings::device_id>(24, "device_id"),
    text_field<&Settings::sensor_id>(25, "sensor_id"),
};
// One past the last position with a field.
inline constexpr int kProgPositions = std::end(kProgFields)[-1].position + 1;

// The settings in the file's text; a text value that does not fit its field
// refuses the file. file: the name the refusal shows.
ConfResult<Settings> parse_prog_conf(std::string_view text, const char* file);

// The refusal of settings whose texts would break the AT command they are
// sent in (a double quote, ";", a control character, or "," where the text is
// not quoted): the APN, the selected transport's host, and for MQTT the
// topics and the credentials when they are sent. Never shows the text itself
// (it may be the password).
std::optional<Refusal> refuse_at_breaking_texts(const Settings& settings, const char* file);

// Reads and parses the file at path (resolved under QUORVANE_ROOT), then
// refuses AT-breaking texts as above.
ConfResult<Settings> read_prog_conf(const char* path);
