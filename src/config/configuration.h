// The gateway's configuration as start-up reads it from its three files: the
// Settings (program file), the devices (device file) and the Mapping of device
// channels into sessions (mapping file or default mapping). Plain values, not
// changed after start-up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

constexpr int kMaxDevices = 10;
constexpr int kMaxSessions = 5;
constexpr int kMaxSlots = 32;

namespace count_detail {
void literal_count_out_of_range();  // not constexpr: a bad literal does not compile
}  // namespace count_detail

// A count that is in 0..Max by construction: the reader that makes it decides
// once what a value out of range means, and no user checks it again.
template <int Max>
class BoundedCount {
 public:
  constexpr BoundedCount() = default;
  // A literal count (tables, tests): one out of range does not compile.
  consteval BoundedCount(int n)
      : n_(static_cast<uint8_t>(n)) {  // NOLINT: literal counts read as ints
    if (n < 0 || n > Max) count_detail::literal_count_out_of_range();
  }
  // The count n, or nothing when n is out of range.
  static constexpr std::optional<BoundedCount> of(int64_t n) {
    if (n < 0 || n > Max) return std::nullopt;
    BoundedCount c;
    c.n_ = static_cast<uint8_t>(n);
    return c;
  }
  // n taken into range, for a reader that ignores what lies beyond it.
  static constexpr BoundedCount clamped(int64_t n) { return *of(n < 0 ? 0 : n > Max ? Max : n); }

  constexpr operator int() const { return n_; }  // NOLINT: reads as the number it is
  constexpr size_t size() const { return n_; }

 private:
  uint8_t n_ = 0;
};

// Used slots of one type in one session, and used sessions.
using SlotCount = BoundedCount<kMaxSlots>;
using SessionCount = BoundedCount<kMaxSessions>;

// How the reports travel: the gateway's UDP frames, or MQTT publications
// (mqtt_enable 0 or 1).
enum class ReportTransport : uint8_t { kUdp = 0, kMqtt = 1 };

// How a device is reached: Modbus RTU on a serial line, or Modbus TCP
// (is_tcp 0 or 1).
enum class DeviceTransport : uint8_t { kRtu = 0, kTcp = 1 };

struct Settings {
  int32_t send_interval;
  bool auto_connect;
  char apn[16];
  int32_t server_port;
  char server_host[64];
  ReportTransport transport;  // mqtt_enable
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
  bool mqtt_cht;
  char device_id[16];
  char sensor_id[16];
};

struct MbDevice {
  int32_t slave_id;
  SlotCount do_count;
  SlotCount di_count;
  SlotCount ao_count;
  SlotCount ai_count;
  int32_t do_start;
  int32_t di_start;
  int32_t ao_start;
  int32_t ai_start;
  DeviceTransport transport;  // is_tcp
  char ip_addr[20];
  int32_t tcp_port;
  char serial_dev[20];
  int32_t baud;
  char parity;
  int32_t data_bits;
  int32_t stop_bits;
  bool do_as_di;
  bool ao_as_ai;
};

// The configured devices in file order (device number i + 1 is entry i), at
// most kMaxDevices.
using DeviceList = std::vector<MbDevice>;

struct MbMapEntry {
  uint8_t dev_no;  // 1-based device number; 0 = empty
  uint8_t ch_no;   // 1-based channel within the device's block; 0 = empty
};

// Sessions below session_count are used; the slot counts (do_num ... ai_num)
// are the 1-based position of each type's last used slot. Both counts are
// bounded by their types, so indexing with them never leaves the arrays.
struct Mapping {
  int32_t default_mapping;
  SessionCount session_count;
  int32_t session_id[kMaxSessions];
  char do_map_text[kMaxSessions][200];
  char di_map_text[kMaxSessions][200];
  char ao_map_text[kMaxSessions][200];
  char ai_map_text[kMaxSessions][200];
  MbMapEntry do_map[kMaxSessions][kMaxSlots];
  MbMapEntry di_map[kMaxSessions][kMaxSlots];
  MbMapEntry ao_map[kMaxSessions][kMaxSlots];
  MbMapEntry ai_map[kMaxSessions][kMaxSlots];
  SlotCount do_num[kMaxSessions];
  SlotCount di_num[kMaxSessions];
  SlotCount ao_num[kMaxSessions];
  SlotCount ai_num[kMaxSessions];
};
