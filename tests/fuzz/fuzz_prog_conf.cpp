// The program file reader on arbitrary text: every text field stays
// NUL-terminated inside its buffer, whatever the lines hold.
#include <cstring>

#include "config/prog_conf.h"
#include "fuzz_check.h"

namespace {

template <size_t N>
void check_terminated(const char (&field)[N]) {
  FUZZ_CHECK(std::memchr(field, '\0', N) != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  ProgInfo info{};
  auto error = parse_prog_conf(fuzz_text(data, size), info);
  if (error) FUZZ_CHECK(!error->empty());
  check_terminated(info.apn);
  check_terminated(info.server_host);
  check_terminated(info.mqtt_host);
  check_terminated(info.mqtt_user);
  check_terminated(info.mqtt_password);
  check_terminated(info.sub_topic1);
  check_terminated(info.sub_topic2);
  check_terminated(info.pub_topic_info);
  check_terminated(info.pub_topic_di);
  check_terminated(info.pub_topic_ai);
  check_terminated(info.pub_topic_gps);
  check_terminated(info.pub_topic_ack);
  check_terminated(info.device_id);
  check_terminated(info.sensor_id);
  return 0;
}
