#include "config/mb_conf.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>

#include "test_support.h"

namespace {

using support::device_file;

// The devices of an accepted file, and the console text.
std::pair<DeviceList, std::string> parse(const std::string& text) {
  auto read = parse_mb_conf(text, "quorvane.ini");
  EXPECT_TRUE(read.ok()) << read.refusal()->text;
  return {read.ok() ? read.value() : DeviceList{}, read.console()};
}

// Every field in file order.
std::string describe(const MbDevice& d) {
  std::ostringstream o;
  o << d.slave_id << ' ' << d.do_count << ' ' << d.di_count << ' ' << d.ao_count << ' '
    << d.ai_count << ' ' << d.do_start << ' ' << d.di_start << ' ' << d.ao_start << ' '
    << d.ai_start << ' ' << int(d.transport) << ' ' << d.ip_addr << ' ' << d.tcp_port << ' '
    << d.serial_dev << ' ' << d.baud << ' ' << d.parity << ' ' << int(d.data_bits) << ' '
    << int(d.stop_bits);
  return o.str();
}

TEST(MbConf, TwoDevicesWithTheirSideEffectsAndConsoleLines) {
  std::string text = device_file({{8, 4, 2, 3, 1, 0}, {0, 0, 5, 6, 0, 1}});
  // Blank lines and comments inside a block are skipped; blank lines before a
  // header are harmless (the first is taken as the header, the real one has no
  // "=" and is skipped).
  text.insert(text.find("baud="), "\r\n; line settings\r\n");
  text.insert(text.find("[MODBUS02]"), "\r\n\r\n");
  auto [devices, console] = parse(text);
  ASSERT_EQ(devices.size(), 2u);
  EXPECT_EQ(console,
            "Modbus number = 2\nRead Modbus 01 info [MODBUS01]\r\nRead Modbus 02 info \r\n");
  // do_as_di: 4 inputs followed by the 8 coils.
  EXPECT_EQ(describe(devices[0]),
            "1 8 12 2 3 0 100 200 300 1 127.0.0.1 1501 /dev/ttyS1 9600 E 8 1");
  EXPECT_EQ(devices[1].ai_count, 11);  // ao_as_ai: 6 + 5

  auto none = parse("modbus_number=0\r\n[MODBUS01]\r\ndo_count=3\r\n");
  EXPECT_EQ(std::pair(none.first.size(), none.second),
            std::pair(size_t{0}, std::string("Modbus number = 0\n")));
}

// How a value is cut from its line is pinned with the program file, which shares it.
TEST(MbConf, ValuesAreTakenAsTheProgramFileTakesThem) {
  const std::string text = device_file({{1, 1, 1, 1}});
  EXPECT_EQ(parse(text.substr(0, text.find("parity=")) + "parity=Odd" +
                  text.substr(text.find("\r\ndata_bits")))
                .first[0]
                .parity,
            'O');

  // A header longer than the 49 characters of the line buffer: the rest is a
  // line of its own, skipped for want of "=".
  std::string cut = device_file({{1, 1, 1, 1}});
  cut.replace(cut.find("[MODBUS01]"), 12, "[" + std::string(60, 'H') + "]\r\n");
  auto [c, c_console] = parse(cut);
  EXPECT_EQ(c_console, "Modbus number = 1\nRead Modbus 01 info [" + std::string(48, 'H'));
  EXPECT_EQ(c.at(0).stop_bits, 1);

  // A missing header: device 2's slave_id line is taken as its header and
  // every later field moves up one line.
  std::string shifted = device_file({{8, 4, 2, 3}, {5, 6, 7, 1}}) + "extra=5\r\n";
  shifted.erase(shifted.find("[MODBUS02]\r\n"), 12);
  DeviceList s = parse(shifted).first;
  ASSERT_EQ(s.size(), 2u);
  // ip_addr's value as is_tcp, the extra line as ao_as_ai, added to ai_count.
  EXPECT_EQ(describe(s[1]), "5 6 7 1 1 100 200 300 1 1 1502 0 9600 0 8 1 0");
  EXPECT_TRUE(s[1].ao_as_ai);
}

struct Case {
  std::string text;
  int line;  // 0: accepted
  std::string reason;
};

class MbConfRefusal : public testing::TestWithParam<Case> {};

TEST_P(MbConfRefusal, NamesTheFileTheLineAndTheReason) {
  const Case& c = GetParam();
  EXPECT_EQ(
      support::refusal_problem(parse_mb_conf(c.text, "quorvane.ini").refusal(), c.line, c.reason),
      "");
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
  return text.replace(text.find(what), what.size(), with);
}
const std::string kOne = device_file({{1, 1, 1, 1}});
const std::string kTwo = device_file({{1, 1, 1, 1}, {1, 1, 1, 1}});

INSTANTIATE_TEST_SUITE_P(
    Files, MbConfRefusal,
    testing::Values(
        Case{"modbus_number=11\r\n", 1, "line 1: device count 11, 0 to 10 fit!!"},
        Case{"n=-1\r\n", 1, "device count -1"},
        Case{"[MODBUS]\r\nn=1\r\n", 1, "line 1 has no \"=\", no device count!!"},
        Case{"", 1, "has no \"=\""},
        Case{kTwo.substr(0, kTwo.find("[MODBUS02]")), 22,
             "line 22: the file ends before device 2's block is complete"},
        Case{kTwo.substr(0, kTwo.find("stop_bits=1\r\ndo_as_di")), 19,
             "ends before device 1's block is complete"},
        Case{replaced(kTwo, "[MODBUS02]\r\n", ""), 41, "ends before device 2's block is complete"},
        // More than 32 values of one type, also after the do_as_di / ao_as_ai additions.
        Case{device_file({{33, 0, 0, 0}}), 4, "line 4: device 1 has 33 DO values, 0 to 32 fit!!"},
        Case{device_file({{0, -1, 0, 0}}), 5, "device 1 has -1 DI values"},
        Case{device_file({{30, 3, 0, 0, 1, 0}}), 20, "device 1 has 33 DI values"},
        Case{device_file({{1, 1, 1, 1}, {0, 0, 16, 17, 0, 1}}), 41, "device 2 has 33 AI values"},
        Case{device_file({{32, 0, 16, 16, 0, 1}}), 0, ""},
        // Text values: 19 characters fit, 20 do not.
        Case{replaced(kOne, "/dev/ttyS1", "/dev/serial/by-id/x"), 0, ""},
        Case{replaced(kOne, "/dev/ttyS1", "/dev/serial/by-id/xy"), 15,
             "line 15 (serial_dev) has 20 characters, at most 19 fit!!"},
        Case{replaced(kOne, "127.0.0.1", "0000:0000:0000::0001"), 13,
             "(ip_addr) has 20 characters"}));

}  // namespace
