#include "config/mapping_conf.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "config/conf_text.h"
#include "config/io_type.h"
#include "config/mb_conf.h"
#include "test_support.h"

namespace {

using support::DeviceSpec;

// The devices as the device file reader gives them.
DeviceList devices_of(const std::vector<DeviceSpec>& blocks) {
  auto read = parse_mb_conf(support::device_file(blocks), "quorvane.ini");
  EXPECT_TRUE(read.ok());
  return read.ok() ? read.value() : DeviceList{};
}

std::string channels(int device, int first, int last) {
  std::string out;
  for (int c = first; c <= last; ++c) out += std::to_string(device) + "-" + std::to_string(c) + ",";
  return out;
}
std::string text_of(const Mapping& io, IoType t, int s) {
  return map_text(io, t, s);
}
std::string empties(int n) {
  return n > 0 ? "0-0," + empties(n - 1) : "";
}

ConfResult<Mapping> read(const std::string& text, const DeviceList& devices,
                         MappingRead when = MappingRead::kStartup) {
  return parse_mb_mapping_conf(text, when, devices, "quorvane_mapping.ini");
}

std::string session(int id, const std::string& do_line, const std::string& di_line,
                    const std::string& ao_line, const std::string& ai_line) {
  return "sessionID_mapping=" + std::to_string(id) + "\r\n[DO]\r\n" + do_line + "\r\n[DI]\r\n" +
         di_line + "\r\n[AO]\r\n" + ao_line + "\r\n[AI]\r\n" + ai_line + "\r\n";
}

TEST(MappingRead, HandWrittenFileIsUsedAsItStands) {
  auto r = read("default_mapping=0\r\nsessionALL_mapping=2\r\n" +
                    session(7, "1-1,1-2,", "", "1-1,0-0,", "2-3,") +
                    session(3, "2-2,0-0,1-4,", "1-1,1-102,", "", "0-0,"),
                devices_of({{4, 2, 1, 1}, {2, 0, 0, 3}}));
  ASSERT_TRUE(r.ok()) << r.refusal()->text;
  const Mapping& io = r.value();
  EXPECT_EQ(std::tuple(io.default_mapping, io.session_count, io.session_id[1]),
            std::tuple(0, 2, 3));
  EXPECT_EQ(text_of(io, IoType::DO, 0), "1-1,1-2,\r\n");  // stored with its line end
  EXPECT_EQ(r.console().find("Total Session = 2\nSession ID = 7\n[DO]\r\n1-1,1-2,\r\n\n[DI]\r\n"),
            0u);
  EXPECT_NE(r.console().find("\nSession ID = 3\n[DO]\r\n2-2,0-0,1-4,\r\n\n"), std::string::npos);
  // AO 1: a trailing empty slot does not count; DO 2: one in the middle does;
  // DI 2: 1-102, a third digit starts over (channel 2).
  EXPECT_EQ(std::vector<int>({io.do_num[0], io.di_num[0], io.ao_num[0], io.do_num[1], io.di_num[1],
                              io.ai_num[1]}),
            std::vector({2, 0, 1, 3, 2, 0}));
}

TEST(MappingRead, SlotLinesParseCharacterByCharacter) {
  bool fits = true;
  auto slots = [&](const std::string& line) {
    MbMapEntry entries[kMaxSlots]{};
    fits = parse_map_slots(line, entries);
    std::vector<std::pair<int, int>> out;
    for (const MbMapEntry& e : entries) out.emplace_back(e.dev_no, e.ch_no);
    return out;
  };
  using P = std::pair<int, int>;
  // Two digits at most: a third starts over (100 -> 0, an empty slot; 123 -> 3).
  auto s = slots("1-100,1-123,10-32,");
  EXPECT_EQ(std::vector<P>(s.begin(), s.begin() + 4),
            (std::vector<P>{{1, 0}, {1, 3}, {10, 32}, {0, 0}}));
  // Every separator moves the position: a blank after a comma shifts the pairs.
  s = slots("1-1, 1-2, 2-3,");
  EXPECT_EQ(std::vector<P>(s.begin(), s.begin() + 4),
            (std::vector<P>{{1, 1}, {0, 1}, {2, 0}, {2, 3}}));
  // Any character above '/' is a digit worth its code minus '0'.
  EXPECT_EQ(slots("1:-A,")[0], P(20, 17));
  // At most 32 entries are stored.
  s = slots(channels(1, 1, 32) + "2-5,");
  EXPECT_EQ(std::pair(s[31], fits), std::pair(P(1, 32), false));
}

struct Case {
  std::string text;
  int line;  // 0: accepted
  std::string reason;
  MappingRead when = MappingRead::kStartup;
};

class MappingRefusal : public testing::TestWithParam<Case> {};

// The mapping that will be used must fit the devices {4, 2, 1, 1}, {2, 0, 0, 0}.
TEST_P(MappingRefusal, NamesTheFileTheLineAndTheReason) {
  const Case& c = GetParam();
  auto r = read(c.text, devices_of({{4, 2, 1, 1}, {2, 0, 0, 0}}), c.when);
  EXPECT_EQ(support::refusal_problem(r.refusal(), c.line, c.reason), "");
}

const std::string kHead = "default_mapping=0\r\nsessionALL_mapping=1\r\n";
const std::string kOk = session(0, "1-1,", "1-1,", "1-1,", "1-1,");

INSTANTIATE_TEST_SUITE_P(
    Files, MappingRefusal,
    testing::Values(Case{kHead + kOk, 0, ""},
                    Case{"default_mapping=0\r\nsessionALL_mapping=0\r\n", 0, ""},
                    // Empty slots name nothing: "0-5," passes.
                    Case{kHead + session(0, "0-5,", "", "", ""), 0, ""},
                    Case{"", 1, "line 1: the file ends before the default_mapping line!!"},
                    Case{"default_mapping\r\nsessionALL_mapping=1\r\n" + kOk, 1,
                         "line 1 has no \"=\", no default_mapping value!!"},
                    Case{"default_mapping\r\n", 1, "has no \"=\"", MappingRead::kReadBack},
                    Case{"default_mapping=0\r\n", 2, "the file ends before the session count"},
                    Case{"default_mapping=0\r\nsessionALL_mapping\r\n", 2, "has no \"=\""},
                    Case{"default_mapping=0\r\nsessionALL_mapping=6\r\n", 2,
                         "line 2: session count 6, 0 to 5 fit!!"},
                    Case{"default_mapping=0\r\nsessionALL_mapping=-1\r\n", 2, "session count -1"},
                    Case{"default_mapping=0\r\nsessionALL_mapping=2\r\n" + kOk, 12,
                         "the file ends before session 2 of 2 is complete"},
                    Case{kHead + kOk.substr(0, kOk.find("[AI]")), 10,
                         "the file ends before session 1 of 1 is complete"},
                    Case{kHead + "sessionID_mapping\r\n" + kOk.substr(kOk.find("[DO]")), 3,
                         "has no \"=\""},
                    Case{kHead + session(0, channels(1, 1, 4) + empties(28) + "1-1,", "", "", ""),
                         5, "line 5: the DO line holds more than 32 entries!!"},
                    Case{kHead + session(0, "", "0-0,3-1,", "", ""), 7,
                         "line 7: DI entry 2 names device 3, 2 configured!!"},
                    Case{kHead + session(0, "2-3,", "", "", ""), 5,
                         "line 5: DO entry 1 names channel 3 of device 2, which has 2!!"},
                    Case{kHead + session(0, "", "", "", "1-2,"), 11,
                         "AI entry 1 names channel 2 of device 1, which has 1"},
                    Case{kHead + session(0, "1-0,", "", "", ""), 5,
                         "DO entry 1 names channel 0 of device 1, which has 4"}));

TEST(MappingRead, AFileAboutToBeRegeneratedOnlyHasToSurvive) {
  const DeviceList devices = devices_of({{4, 2, 1, 1}});
  // A stale generated file: more sessions than fit, session lines without "=",
  // lines of 40 entries naming devices since removed.
  std::string stale = "default_mapping=1\r\nsessionALL_mapping=7\r\n";
  for (int s = 0; s < 7; ++s) stale += session(s, channels(9, 1, 40), "3-3,", "", "1-99,");
  stale.replace(stale.find("sessionID_mapping=1"), 19, "sessionID_mapping");
  auto r = read(stale, devices);
  ASSERT_TRUE(r.ok()) << r.refusal()->text;
  EXPECT_EQ(r.value().default_mapping, 1);
  EXPECT_EQ(r.value().session_count, 5);  // never past the records
  EXPECT_EQ(r.value().do_map[4][31].ch_no, 32);
  EXPECT_TRUE(read("default_mapping=1\r\nsessionALL_mapping=3\r\n", devices).ok());
  EXPECT_TRUE(read("default_mapping=1\r\n", devices).ok());
  // The read-back of a generated file is the mapping used: refused.
  EXPECT_FALSE(read(stale, devices, MappingRead::kReadBack).ok());
}

// An accepted default mapping of the devices, and its console text.
std::pair<Mapping, std::string> build(const std::vector<DeviceSpec>& blocks) {
  auto built = build_default_mapping(devices_of(blocks), 1, "quorvane.ini");
  EXPECT_TRUE(built.ok()) << built.refusal()->text;
  return {built.ok() ? built.value() : Mapping{}, built.console()};
}

TEST(DefaultMapping, SessionsFillUpAndResumeWhereThePreviousOneStopped) {
  auto [b, console] = build({{20, 0, 0, 0}, {20, 0, 0, 0}});
  ASSERT_EQ(b.session_count, 2);
  EXPECT_EQ(std::tuple(b.default_mapping, b.session_id[1]), std::tuple(1, 1));
  EXPECT_EQ(text_of(b, IoType::DO, 1), channels(2, 13, 20) + empties(24));
  EXPECT_EQ(std::tuple(b.do_num[0], b.do_num[1]), std::tuple(32, 8));
  EXPECT_EQ(console.find(
                "DO value is full!! Remain 8 DO value!!\nSession ID number = 0\n32 DO values:\n" +
                channels(1, 1, 20) + channels(2, 1, 12) + "\n00 DI values:\n" + empties(32)),
            0u);
  EXPECT_NE(console.find("\nSession ID number = 1\n08 DO values:\n"), std::string::npos);
  Mapping c = build({{30, 0, 0, 0}, {30, 0, 0, 0}, {5, 0, 0, 0}}).first;
  ASSERT_EQ(c.session_count, 3);
  EXPECT_EQ(text_of(c, IoType::DO, 1), channels(2, 3, 30) + channels(3, 1, 4));
  EXPECT_EQ(text_of(c, IoType::DO, 2), channels(3, 5, 5) + empties(31));

  // DO over two sessions while DI fits in one.
  Mapping m = build({{20, 5, 0, 0}, {20, 0, 0, 0}}).first;
  ASSERT_EQ(m.session_count, 2);
  EXPECT_EQ(text_of(m, IoType::DI, 0), channels(1, 1, 5) + empties(27));
  EXPECT_EQ(m.di_num[1], 0);

  // Devices without any channel: one session of empty slots; no device: none.
  Mapping e = build(std::vector<DeviceSpec>(2)).first;
  ASSERT_EQ(e.session_count, 1);
  for (IoType t : kIoTypes) EXPECT_EQ(text_of(e, t, 0), empties(32));
  EXPECT_EQ(build({}).first.session_count, 0);
}

TEST(DefaultMapping, MoreThanFiveSessionsAreRefused) {
  EXPECT_EQ(build({{32}, {32}, {32}, {32}, {32}}).first.session_count, 5);
  auto b = build_default_mapping(
      devices_of({{32}, {32}, {32}, {32}, {32}, {0, 0, 0, 1}, {0, 0, 0, 0}, {0, 0, 1, 0}, {1}}), 1,
      "quorvane.ini");
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(
      b.refusal()->text,
      "Configure file quorvane.ini: the devices hold 161 DO channels, a default mapping holds "
      "at most 160!!");
}

// That it reads back as built, the fuzz target for the device file checks.
TEST(DefaultMapping, WrittenFileHoldsAllThirtyTwoSlotsPerLine) {
  std::string file = format_mb_mapping_conf(build({{2, 1, 0, 1}, {0, 0, 0, 3, 0, 0}}).first);
  EXPECT_EQ(file, "default_mapping=1\r\nsessionALL_mapping=1\r\nsessionID_mapping=0\r\n[DO]\r\n" +
                      channels(1, 1, 2) + empties(30) + "\r\n[DI]\r\n" + channels(1, 1, 1) +
                      empties(31) + "\r\n[AO]\r\n" + empties(32) + "\r\n[AI]\r\n" +
                      channels(1, 1, 1) + channels(2, 1, 3) + empties(28) + "\r\n");
}

// The rewrite's failure on the disk is a system case; a folder that is not
// there fails at its first step, which also says the file could not be opened.
TEST(DefaultMapping, FileIsReplacedWholeOrNotAtAll) {
  support::TempRoot root;
  const Mapping m = build({{2, 1, 0, 1}}).first;
  auto refused = write_mb_mapping_conf(m, "/conf/map.ini");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->text,
            "Open configure file fail!!\nConfigure file /conf/map.ini: creating the temporary "
            "file failed (No such file or directory), the file is left as it was!!");
  std::filesystem::create_directories(root.path() / "conf");
  EXPECT_FALSE(write_mb_mapping_conf(m, "/conf/map.ini"));
  EXPECT_EQ(read_whole_file(root.path() / "conf/map.ini"), format_mb_mapping_conf(m));
}

TEST(PackagedExamples, DeviceAndMappingFilesAreAccepted) {
  for (const std::string kind : {"udp", "mqtt"}) {
    const std::string dir = std::string(QUORVANE_SOURCE_DIR) + "/packaging/examples/" + kind;
    auto devices =
        parse_mb_conf(read_whole_file(dir + "/quorvane.ini").value_or(""), "quorvane.ini");
    ASSERT_TRUE(devices.ok()) << devices.refusal()->text;
    ASSERT_EQ(devices.value().size(), 2u);
    const MbDevice &tcp = devices.value()[0], &rtu = devices.value()[1];
    EXPECT_EQ(std::tuple(std::string(tcp.ip_addr), tcp.tcp_port, int(tcp.transport), tcp.do_count),
              std::tuple("192.168.1.50", 502, 1, 8));
    EXPECT_EQ(std::tuple(std::string(rtu.serial_dev), rtu.parity, int(rtu.transport), rtu.do_start),
              std::tuple("/dev/ttyO1", 'N', 0, 100));
    auto r = read(read_whole_file(dir + "/quorvane_mapping.ini").value_or(""), devices.value());
    ASSERT_TRUE(r.ok()) << r.refusal()->text;
    EXPECT_EQ(std::tuple(r.value().default_mapping, r.value().session_count), std::tuple(1, 0));
  }
}

}  // namespace
