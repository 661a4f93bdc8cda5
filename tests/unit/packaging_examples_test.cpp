// The example configuration shipped in the package must read as documented:
// a typo or an LF-only line end there would reach every new installation.
#include <gtest/gtest.h>

#include <string>

#include "config/conf_text.h"
#include "config/mapping_conf.h"
#include "config/mb_conf.h"
#include "config/prog_conf.h"

namespace {

std::string example(const std::string& kind, const std::string& file) {
  auto text = read_whole_file(std::string(QUORVANE_SOURCE_DIR) + "/packaging/examples/" + kind +
                              "/" + file);
  EXPECT_TRUE(text) << kind << "/" << file;
  return text.value_or("");
}

TEST(PackagedExamples, ProgramFilesYieldTheDocumentedSettings) {
  for (const std::string kind : {"udp", "mqtt"}) {
    std::string text = example(kind, "nbiot_prog.ini");
    EXPECT_EQ(text.find("\n"), text.find("\r\n") + 1) << "CR LF line ends";
    ProgInfo info{};
    ASSERT_FALSE(parse_prog_conf(text, info));
    EXPECT_EQ(info.send_interval, 60);
    EXPECT_EQ(info.auto_connect, 1);
    EXPECT_STREQ(info.apn, "cmnbiot");
    EXPECT_EQ(info.server_port, 5683);
    EXPECT_STREQ(info.server_host, "report.example.com");
    EXPECT_EQ(info.mqtt_enable, kind == "mqtt" ? 1 : 0);
    EXPECT_STREQ(info.mqtt_host, "broker.example.com");
    EXPECT_EQ(info.mqtt_port, 1883);
    EXPECT_STREQ(info.mqtt_user, "\n");  // empty: no credentials are sent
    EXPECT_STREQ(info.sub_topic1, "quorvane/cmd/+/DO");
    EXPECT_STREQ(info.sub_topic2, "quorvane/cmd/+/AO");
    EXPECT_STREQ(info.pub_topic_ack, "quorvane/ack");
    EXPECT_EQ(info.mqtt_cht, kind == "mqtt" ? 1 : 0);
    EXPECT_STREQ(info.device_id, "gw-0001");
    EXPECT_STREQ(info.sensor_id, "sensor-0001");
  }
}

TEST(PackagedExamples, DeviceAndMappingFilesAreAccepted) {
  for (const std::string kind : {"udp", "mqtt"}) {
    MbConf conf = parse_mb_conf(example(kind, "quorvane.ini"));
    ASSERT_FALSE(conf.error) << *conf.error;
    ASSERT_EQ(conf.count, 2);
    const MbDevice& tcp = conf.devices[0];
    EXPECT_EQ(tcp.is_tcp, 1);
    EXPECT_STREQ(tcp.ip_addr, "192.168.1.50");
    EXPECT_EQ(tcp.tcp_port, 502);
    EXPECT_EQ(tcp.do_count, 8);
    const MbDevice& rtu = conf.devices[1];
    EXPECT_EQ(rtu.is_tcp, 0);
    EXPECT_STREQ(rtu.serial_dev, "/dev/ttyO1");
    EXPECT_EQ(rtu.parity, 'N');
    EXPECT_EQ(rtu.do_start, 100);

    DeviceTable devices{};
    for (int i = 0; i < conf.count; ++i) devices[i] = &conf.devices[i];
    MbIoTable io{};
    std::string console;
    EXPECT_FALSE(parse_mb_mapping_conf(example(kind, "quorvane_mapping.ini"),
                                       MappingRead::kStartup, devices, conf.count, io, console));
    EXPECT_EQ(io.default_mapping, 1);
    EXPECT_EQ(io.session_count, 0);
  }
}

}  // namespace
