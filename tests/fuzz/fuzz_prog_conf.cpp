// The program file reader on arbitrary text: every text field of accepted
// settings is NUL-terminated inside its buffer, whatever the lines hold.
#include "config/prog_conf.h"
#include "fuzz_check.h"

#define TERMINATED(field) FUZZ_CHECK(std::memchr(info.field, '\0', sizeof info.field) != nullptr)

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto read = parse_prog_conf(fuzz_text(data, size), "nbiot_prog.ini");
  if (!read.ok()) return 0;
  const Settings& info = read.value();
  TERMINATED(apn);
  TERMINATED(server_host);
  TERMINATED(mqtt_host);
  TERMINATED(mqtt_user);
  TERMINATED(mqtt_password);
  TERMINATED(sub_topic1);
  TERMINATED(sub_topic2);
  TERMINATED(pub_topic_info);
  TERMINATED(pub_topic_di);
  TERMINATED(pub_topic_ai);
  TERMINATED(pub_topic_gps);
  TERMINATED(pub_topic_ack);
  TERMINATED(device_id);
  TERMINATED(sensor_id);
  return 0;
}
