#include "config/mapping_conf.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "config/io_type.h"
#include "config/mb_conf.h"
#include "device_file.h"

namespace {

// Device records as the device file reader leaves them, and the builder's
// starting state (the remain flags that reader raised).
struct Devices {
  std::array<MbDevice, kMaxDevices> records{};
  DeviceTable table{};
  int32_t count = 0;
  DefaultMappingState state;

  explicit Devices(const std::vector<DeviceSpec>& blocks) {
    MbConf conf = parse_mb_conf(device_file(blocks));
    EXPECT_FALSE(conf.error);
    records = conf.devices;
    count = conf.count;
    for (int t = 0; t < 4; ++t) state.remain[t] = conf.remain[t];
    for (size_t i = 0; i < records.size(); ++i) table[i] = &records[i];
  }
  Devices(const Devices&) = delete;
};

std::string entries(const std::vector<std::pair<int, int>>& list) {
  std::string out;
  for (auto [d, c] : list) out += std::to_string(d) + "-" + std::to_string(c) + ",";
  return out;
}
std::string channels(int device, int first, int last) {
  std::vector<std::pair<int, int>> list;
  for (int c = first; c <= last; ++c) list.emplace_back(device, c);
  return entries(list);
}
std::string empties(int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += "0-0,";
  return out;
}

std::string text_of(MbIoTable& io, IoType t, int s) {
  return map_text(io, t, s);
}

// --- slot parsing ---------------------------------------------------------

TEST(MapSlots, HandWrittenLinesParseCharacterByCharacter) {
  MbMapEntry slots[kMaxSlots] = {};
  EXPECT_TRUE(parse_map_slots("1-1,1-2,\r\n", slots));
  EXPECT_EQ(slots[0].dev_no, 1);
  EXPECT_EQ(slots[0].ch_no, 1);
  EXPECT_EQ(slots[1].ch_no, 2);
  EXPECT_EQ(slots[2].dev_no, 0);

  // Positions the line does not reach keep what they held.
  MbMapEntry kept[kMaxSlots];
  for (auto& e : kept) e = {9, 9};
  EXPECT_TRUE(parse_map_slots("1-1,1-2,\r\n", kept));
  EXPECT_EQ(kept[1].ch_no, 2);
  EXPECT_EQ(kept[2].dev_no, 9);
  EXPECT_EQ(kept[31].ch_no, 9);

  // Two digits at most: a third starts over (100 -> 0, an empty slot; 123 -> 3).
  MbMapEntry three[kMaxSlots] = {};
  parse_map_slots("1-100,1-123,10-32,\r\n", three);
  EXPECT_EQ(three[0].dev_no, 1);
  EXPECT_EQ(three[0].ch_no, 0);
  EXPECT_EQ(three[1].ch_no, 3);
  EXPECT_EQ(three[2].dev_no, 10);
  EXPECT_EQ(three[2].ch_no, 32);

  // Every separator moves the position: a blank after each comma shifts the
  // pairs, the second entry's device number landing in a ch_no position.
  MbMapEntry shifted[kMaxSlots] = {};
  parse_map_slots("1-1, 1-2, 2-3,\r\n", shifted);
  EXPECT_EQ(shifted[0].dev_no, 1);
  EXPECT_EQ(shifted[0].ch_no, 1);
  EXPECT_EQ(shifted[1].dev_no, 0);
  EXPECT_EQ(shifted[1].ch_no, 1);
  EXPECT_EQ(shifted[2].dev_no, 2);
  EXPECT_EQ(shifted[2].ch_no, 0);
  EXPECT_EQ(shifted[3].dev_no, 2);
  EXPECT_EQ(shifted[3].ch_no, 3);

  // Any character above '/' is a digit worth its code minus '0'.
  MbMapEntry odd[kMaxSlots] = {};
  parse_map_slots("1:-A,", odd);
  EXPECT_EQ(odd[0].dev_no, 20);  // 1 * 10 + 10
  EXPECT_EQ(odd[0].ch_no, 17);
}

TEST(MapSlots, AtMostThirtyTwoEntriesAreStored) {
  std::string full = channels(1, 1, 32) + "\r\n";
  MbMapEntry slots[kMaxSlots] = {};
  EXPECT_TRUE(parse_map_slots(full, slots));  // the separators after the last entry don't count
  EXPECT_EQ(slots[31].ch_no, 32);

  MbMapEntry over[kMaxSlots] = {};
  EXPECT_FALSE(parse_map_slots(channels(1, 1, 32) + "2-5,\r\n", over));
  EXPECT_EQ(over[31].dev_no, 1);
  EXPECT_EQ(over[31].ch_no, 32);
}

// --- reading the file -----------------------------------------------------

struct ReadResult {
  MbIoTable io{};
  std::string console;
  std::optional<std::string> error;
};

ReadResult read(const std::string& text, const Devices& devices,
                MappingRead when = MappingRead::kStartup) {
  ReadResult r;
  r.error = parse_mb_mapping_conf(text, when, devices.table, devices.count, r.io, r.console);
  return r;
}

std::string session_lines(int id, const std::string& do_line, const std::string& di_line,
                          const std::string& ao_line, const std::string& ai_line) {
  return "sessionID_mapping=" + std::to_string(id) + "\r\n[DO]\r\n" + do_line + "\r\n[DI]\r\n" +
         di_line + "\r\n[AO]\r\n" + ao_line + "\r\n[AI]\r\n" + ai_line + "\r\n";
}

TEST(MappingRead, HandWrittenFileIsUsedAsItStands) {
  Devices devices({{4, 2, 1, 1}, {2, 0, 0, 3}});
  std::string text = "default_mapping=0\r\nsessionALL_mapping=2\r\n" +
                     session_lines(7, "1-1,1-2,", "", "1-1,0-0,", "2-3,") +
                     session_lines(3, "2-2,0-0,1-4,", "1-1,1-102,", "", "0-0,");
  ReadResult r = read(text, devices);
  ASSERT_FALSE(r.error) << *r.error;
  EXPECT_EQ(r.io.default_mapping, 0);
  EXPECT_EQ(r.io.session_count, 2);
  EXPECT_EQ(r.io.session_id[0], 7);
  EXPECT_EQ(r.io.session_id[1], 3);
  EXPECT_EQ(text_of(r.io, IoType::DO, 0), "1-1,1-2,\r\n");  // stored with its line end
  EXPECT_EQ(r.console,
            "Total Session = 2\n"
            "Session ID = 7\n"
            "[DO]\r\n1-1,1-2,\r\n\n[DI]\r\n\r\n\n[AO]\r\n1-1,0-0,\r\n\n[AI]\r\n2-3,\r\n\n"
            "Session ID = 3\n"
            "[DO]\r\n2-2,0-0,1-4,\r\n\n[DI]\r\n1-1,1-102,\r\n\n[AO]\r\n\r\n\n[AI]\r\n0-0,\r\n\n");

  count_session_slots(r.io);
  EXPECT_EQ(r.io.do_num[0], 2);
  EXPECT_EQ(r.io.di_num[0], 0);
  EXPECT_EQ(r.io.ao_num[0], 1);  // a trailing empty slot does not count
  EXPECT_EQ(r.io.ai_num[0], 1);
  EXPECT_EQ(r.io.do_num[1], 3);  // an empty slot in the middle does
  EXPECT_EQ(r.io.di_num[1], 2);  // 1-102: a third digit starts over, channel 2
  EXPECT_EQ(r.io.ai_num[1], 0);
}

TEST(MappingRead, MappingThatWillBeUsedMustFit) {
  Devices devices({{4, 2, 1, 1}, {2, 0, 0, 0}});
  const std::string head = "default_mapping=0\r\nsessionALL_mapping=1\r\n";
  auto refused = [&](const std::string& text, int line, const std::string& reason,
                     MappingRead when = MappingRead::kStartup) {
    ReadResult r = read(text, devices, when);
    ASSERT_TRUE(r.error) << "accepted: " << text;
    EXPECT_NE(r.error->find("quorvane_mapping.ini"), std::string::npos) << *r.error;
    EXPECT_TRUE(names_line(*r.error, line)) << *r.error;
    EXPECT_NE(r.error->find(reason), std::string::npos) << *r.error;
  };
  const std::string ok = session_lines(0, "1-1,", "1-1,", "1-1,", "1-1,");
  ASSERT_FALSE(read(head + ok, devices).error);

  refused("", 1, "the file ends before the default_mapping line");
  refused("default_mapping\r\nsessionALL_mapping=1\r\n" + ok, 1, "has no \"=\"");
  refused("default_mapping\r\n", 1, "has no \"=\"", MappingRead::kReadBack);
  refused("default_mapping=0\r\n", 2, "the file ends before the session count");
  refused("default_mapping=0\r\nsessionALL_mapping\r\n", 2, "has no \"=\"");
  refused("default_mapping=0\r\nsessionALL_mapping=6\r\n", 2, "session count 6, 0 to 5 fit");
  refused("default_mapping=0\r\nsessionALL_mapping=-1\r\n", 2, "session count -1");
  refused("default_mapping=0\r\nsessionALL_mapping=2\r\n" + ok, 12,
          "the file ends before session 2 of 2 is complete");
  refused(head + ok.substr(0, ok.find("[AI]")), 10,
          "the file ends before session 1 of 1 is complete");
  refused(head + "sessionID_mapping\r\n" + ok.substr(ok.find("[DO]")), 3, "has no \"=\"");
  refused(head + session_lines(0, channels(1, 1, 4) + empties(28) + "1-1,", "", "", ""), 5,
          "the DO line holds more than 32 entries");
  refused(head + session_lines(0, "", "0-0,3-1,", "", ""), 7,
          "DI entry 2 names device 3, 2 configured");
  refused(head + session_lines(0, "2-3,", "", "", ""), 5,
          "DO entry 1 names channel 3 of device 2, which has 2");
  refused(head + session_lines(0, "", "", "", "1-2,"), 11,
          "AI entry 1 names channel 2 of device 1, which has 1");

  refused(head + session_lines(0, "1-0,", "", "", ""), 5,
          "DO entry 1 names channel 0 of device 1, which has 4");

  // Empty slots name nothing: "0-5," passes.
  EXPECT_FALSE(read(head + session_lines(0, "0-5,", "", "", ""), devices).error);
}

TEST(MappingRead, AFileAboutToBeRegeneratedOnlyHasToSurvive) {
  Devices devices({{4, 2, 1, 1}});
  // A stale generated file: more sessions than fit, session lines without "=",
  // a line of 40 entries naming devices since removed.
  std::string stale = "default_mapping=1\r\nsessionALL_mapping=7\r\n";
  std::string long_line = channels(9, 1, 40);
  for (int s = 0; s < 7; ++s) {
    stale += session_lines(s, long_line, "3-3,", "", "1-99,");
  }
  stale.replace(stale.find("sessionID_mapping=1"), 19, "sessionID_mapping");
  ReadResult r = read(stale, devices);
  ASSERT_FALSE(r.error) << *r.error;
  EXPECT_EQ(r.io.default_mapping, 1);
  EXPECT_EQ(r.io.session_count, 5);  // never past the records
  EXPECT_EQ(r.io.session_id[1], 0);
  EXPECT_EQ(r.io.do_map[4][31].ch_no, 32);

  ReadResult two_lines = read("default_mapping=1\r\nsessionALL_mapping=3\r\n", devices);
  EXPECT_FALSE(two_lines.error);
  EXPECT_EQ(two_lines.console, "Total Session = 3\n");
  EXPECT_FALSE(read("default_mapping=1\r\nsessionALL_mapping\r\n", devices).error);
  EXPECT_FALSE(read("default_mapping=1\r\n", devices).error);

  // The read-back of a generated file is the mapping used: refused.
  EXPECT_TRUE(read(stale, devices, MappingRead::kReadBack).error);
}

// --- the default mapping --------------------------------------------------

struct Built {
  MbIoTable io{};
  std::string console;
  std::optional<std::string> error;
};

Built build(Devices& devices) {
  Built b;
  b.error = build_default_sessions(b.io, devices.table, devices.count, devices.state, b.console);
  return b;
}

TEST(DefaultMapping, TwoDevicesWithTwentyDoEach) {
  Devices devices({{20, 0, 0, 0}, {20, 0, 0, 0}});
  Built b = build(devices);
  ASSERT_FALSE(b.error);
  ASSERT_EQ(b.io.session_count, 2);
  EXPECT_EQ(b.io.session_id[1], 1);
  std::string s0 = channels(1, 1, 20) + channels(2, 1, 12);
  std::string s1 = channels(2, 13, 20) + empties(24);
  EXPECT_EQ(text_of(b.io, IoType::DO, 0), s0);
  EXPECT_EQ(text_of(b.io, IoType::DO, 1), s1);
  EXPECT_EQ(b.io.do_num[0], 32);
  EXPECT_EQ(b.io.do_num[1], 8);
  std::string none = empties(32);
  EXPECT_EQ(b.console,
            "DO value is full!! Remain 8 DO value!!\n"
            "Session ID number = 0\n"
            "32 DO values:\n" +
                s0 + "\n00 DI values:\n" + none + "\n00 AO values:\n" + none + "\n00 AI values:\n" +
                none +
                "\n"
                "Session ID number = 1\n"
                "08 DO values:\n" +
                s1 + "\n00 DI values:\n" + none + "\n00 AO values:\n" + none + "\n00 AI values:\n" +
                none + "\n");
}

TEST(DefaultMapping, SessionsResumeWhereThePreviousOneStopped) {
  Devices devices({{30, 0, 0, 0}, {30, 0, 0, 0}, {5, 0, 0, 0}});
  Built b = build(devices);
  ASSERT_EQ(b.io.session_count, 3);
  EXPECT_EQ(text_of(b.io, IoType::DO, 0), channels(1, 1, 30) + channels(2, 1, 2));
  EXPECT_EQ(text_of(b.io, IoType::DO, 1), channels(2, 3, 30) + channels(3, 1, 4));
  EXPECT_EQ(text_of(b.io, IoType::DO, 2), channels(3, 5, 5) + empties(31));
  EXPECT_NE(b.console.find("Remain 28 DO value!!"), std::string::npos);
  EXPECT_NE(b.console.find("Remain 1 DO value!!"), std::string::npos);

  // DO over two sessions while DI fits in one.
  Devices mixed({{20, 5, 0, 0}, {20, 0, 0, 0}});
  Built m = build(mixed);
  ASSERT_EQ(m.io.session_count, 2);
  EXPECT_EQ(text_of(m.io, IoType::DI, 0), channels(1, 1, 5) + empties(27));
  EXPECT_EQ(text_of(m.io, IoType::DI, 1), empties(32));
  EXPECT_EQ(m.io.di_num[1], 0);

  // Devices without any channel: one session of empty slots.
  Devices bare({{}, {}});
  Built e = build(bare);
  ASSERT_EQ(e.io.session_count, 1);
  for (IoType t : kIoTypes) {
    EXPECT_EQ(text_of(e.io, t, 0), empties(32));
    EXPECT_EQ(map_num(e.io, t, 0), 0);
  }

  // No device: no session.
  Devices none(std::vector<DeviceSpec>{});
  EXPECT_EQ(build(none).io.session_count, 0);
}

TEST(DefaultMapping, MoreThanFiveSessionsAreRefused) {
  Devices five({{32}, {32}, {32}, {32}, {32}});
  Built ok = build(five);
  EXPECT_FALSE(ok.error);
  EXPECT_EQ(ok.io.session_count, 5);

  Devices six({{32}, {32}, {32}, {32}, {32}, {0, 0, 0, 1}, {0, 0, 0, 0}, {0, 0, 1, 0}, {1}});
  Built b = build(six);
  ASSERT_TRUE(b.error);
  EXPECT_NE(b.error->find("quorvane.ini"), std::string::npos) << *b.error;
  EXPECT_NE(b.error->find("161 DO channels"), std::string::npos) << *b.error;
  EXPECT_NE(b.error->find("at most 160"), std::string::npos) << *b.error;
  EXPECT_EQ(b.io.session_count, 5);
}

TEST(DefaultMapping, WrittenFileReadsBackAsBuilt) {
  Devices devices({{2, 1, 0, 1}, {0, 0, 0, 3, 0, 0}});
  Built b = build(devices);
  b.io.default_mapping = 1;
  std::string file = format_mb_mapping_conf(b.io);
  EXPECT_EQ(file,
            "default_mapping=1\r\nsessionALL_mapping=1\r\nsessionID_mapping=0\r\n"
            "[DO]\r\n" +
                channels(1, 1, 2) + empties(30) +
                "\r\n"
                "[DI]\r\n" +
                channels(1, 1, 1) + empties(31) +
                "\r\n"
                "[AO]\r\n" +
                empties(32) +
                "\r\n"
                "[AI]\r\n" +
                channels(1, 1, 1) + channels(2, 1, 3) + empties(28) + "\r\n");

  // Read back over what the first read left (stale slots get overwritten: every
  // generated line reaches all 32 slots).
  MbIoTable& io = b.io;
  for (auto& e : io.ai_map[0]) e = {9, 9};
  std::string console;
  ASSERT_FALSE(parse_mb_mapping_conf(file, MappingRead::kReadBack, devices.table, devices.count, io,
                                     console));
  count_session_slots(io);
  EXPECT_EQ(io.ai_map[0][3].dev_no, 2);
  EXPECT_EQ(io.ai_map[0][3].ch_no, 3);
  EXPECT_EQ(io.ai_map[0][4].dev_no, 0);
  EXPECT_EQ(io.do_num[0], 2);
  EXPECT_EQ(io.di_num[0], 1);
  EXPECT_EQ(io.ao_num[0], 0);
  EXPECT_EQ(io.ai_num[0], 4);
  EXPECT_EQ(text_of(io, IoType::DO, 0), channels(1, 1, 2) + empties(30) + "\r\n");
}

}  // namespace
