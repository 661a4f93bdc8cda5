#include "messaging/downlink_parse.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(DownlinkFrame, AcceptedByEitherMarkCharacter) {
  EXPECT_TRUE(downlink_accepted("AE,QRX724H"));
  EXPECT_TRUE(downlink_accepted("AX,whatever"));
  EXPECT_TRUE(downlink_accepted("XE,whatever"));
  EXPECT_TRUE(downlink_accepted("A"));
  EXPECT_FALSE(downlink_accepted("EA,QRX724H"));
  EXPECT_FALSE(downlink_accepted("E"));
  EXPECT_FALSE(downlink_accepted(""));
}

TEST(DownlinkFrame, DeviceVersionIsReadInBaseTwoByPosition) {
  EXPECT_EQ(read_base2("0100"), 4);
  EXPECT_EQ(read_base2("1111"), 15);
  EXPECT_EQ(read_base2("0000"), 0);
  EXPECT_EQ(read_base2("abc"), 0);
  EXPECT_EQ(read_base2("2"), 0);
  EXPECT_EQ(read_base2("1x1"), 5);  // other characters still take a place
  // Positions 32 or more from the right add nothing; all 32 places set is -1.
  EXPECT_EQ(read_base2("1" + std::string(32, '0')), 0);
  EXPECT_EQ(read_base2(std::string(32, '1')), -1);
  EXPECT_EQ(read_base2("1" + std::string(31, '0')), INT32_MIN);
}

TEST(DownlinkFrame, EightFieldsAndTheTail) {
  auto f = parse_downlink_frame("AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->preamble, "AE");
  EXPECT_EQ(f->device_type, "QRX724H");
  EXPECT_EQ(f->device_version, 4);
  EXPECT_EQ(f->session_id, 2);
  EXPECT_EQ(f->packet_id, 17);
  EXPECT_EQ(f->type, "RDO");
  EXPECT_EQ(f->offset, 0);
  EXPECT_EQ(f->number, 3);
  EXPECT_EQ(f->tail, "1,0,1,EA");

  // Runs of commas count as one; numbers are read atoi-like.
  f = parse_downlink_frame(",,AE,,T,1111,x9,-3,WGPS,,,0,7");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->device_version, 15);
  EXPECT_EQ(f->session_id, 0);
  EXPECT_EQ(f->packet_id, -3);
  EXPECT_EQ(f->number, 7);
  EXPECT_EQ(f->tail, "");

  EXPECT_FALSE(parse_downlink_frame("AE,QRX724H,0100,2,17,RDO,0"));
  EXPECT_FALSE(parse_downlink_frame("AE,,,,,,,,,"));
  EXPECT_FALSE(parse_downlink_frame(""));
}

TEST(DownlinkFrame, ValuesEndCharAndWhatTheFrameHolds) {
  auto v = read_downlink_values("1,0,1,EA", 3);
  EXPECT_EQ(v.value[0], 1);
  EXPECT_EQ(v.value[1], 0);
  EXPECT_EQ(v.value[2], 1);
  EXPECT_EQ(v.held, 3);
  EXPECT_EQ(v.end_char, "EA");
  EXPECT_EQ(v.closing, "EA");

  // Cipher padding stays part of the last field; it is still no value.
  v = read_downlink_values("65536,-1,EA     ", 2);
  EXPECT_EQ(v.value[0], 65536);
  EXPECT_EQ(v.value[1], -1);
  EXPECT_EQ(v.held, 2);
  EXPECT_EQ(v.end_char, "EA     ");

  // A frame that ends right after its last value has no EndChar.
  v = read_downlink_values("1,0,1", 3);
  EXPECT_EQ(v.held, 3);
  EXPECT_EQ(v.end_char, "");
  EXPECT_EQ(v.closing, "");
  v = read_downlink_values("1,0,1  ", 3);
  EXPECT_EQ(v.held, 3);
  EXPECT_EQ(v.value[2], 1);

  // No values read: the EndChar line shows the ninth field.
  v = read_downlink_values("5,6,EA", 0);
  EXPECT_EQ(v.end_char, "5");
  v = read_downlink_values("5,6,EA", -4);
  EXPECT_EQ(v.end_char, "5");
  EXPECT_EQ(v.value[0], 0);
  EXPECT_EQ(v.held, 2);

  // Fewer fields than the count: nothing beyond the text is read.
  v = read_downlink_values("7,EA", 2000000000);
  EXPECT_EQ(v.value[0], 7);
  EXPECT_EQ(v.value[1], 0);
  EXPECT_EQ(v.held, 1);
  EXPECT_EQ(v.end_char, "");

  // Only 32 values are kept, however many the frame carries.
  std::string many;
  for (int i = 0; i < 40; ++i) many += std::to_string(i) + ",";
  many += "EA";
  v = read_downlink_values(many, 40);
  EXPECT_EQ(v.held, 40);
  EXPECT_EQ(v.value[31], 31);
  EXPECT_EQ(v.end_char, "EA");
}

TEST(DownlinkFrame, PendingBitBySubstringInReportOrder) {
  EXPECT_EQ(pending_bit_of("DEVINFO"), 1);
  EXPECT_EQ(pending_bit_of("RDO"), 2);
  EXPECT_EQ(pending_bit_of("WDI"), 4);
  EXPECT_EQ(pending_bit_of("RAO"), 8);
  EXPECT_EQ(pending_bit_of("WAI"), 16);
  EXPECT_EQ(pending_bit_of("WGPS"), 32);
  EXPECT_EQ(pending_bit_of("xWAIRDOx"), 2);  // RDO is tested before WAI
  EXPECT_EQ(pending_bit_of("rdo"), 0);
  EXPECT_EQ(pending_bit_of(""), 0);
}

TEST(MqttValueText, HexGroupsPerSlotWithStrtolSemantics) {
  auto d = decode_do_text("010001", 3);
  ASSERT_TRUE(d);
  EXPECT_EQ((*d)[0], 1);
  EXPECT_EQ((*d)[1], 0);
  EXPECT_EQ((*d)[2], 1);

  d = decode_do_text("FFff1G-1G1 7", 6);
  ASSERT_TRUE(d);
  EXPECT_EQ((*d)[0], 255);
  EXPECT_EQ((*d)[1], 255);
  EXPECT_EQ((*d)[2], 1);     // trailing junk: the leading digits count
  EXPECT_EQ((*d)[3], 0xFF);  // -1, low 8 bits
  EXPECT_EQ((*d)[4], 0);     // nothing readable
  EXPECT_EQ((*d)[5], 7);     // leading blank

  auto a = decode_ao_text("03E8FFFF0x1F", 3);
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)[0], 1000);
  EXPECT_EQ((*a)[1], 65535);
  EXPECT_EQ((*a)[2], 31);

  // More groups than slots: the extra ones are ignored.
  a = decode_ao_text("000100020003", 2);
  ASSERT_TRUE(a);
  EXPECT_EQ((*a)[1], 2);
  EXPECT_EQ((*a)[2], 0);

  // Too short for the slots: refused, not padded.
  EXPECT_FALSE(decode_do_text("01000", 3));
  EXPECT_FALSE(decode_ao_text("03E", 1));
  EXPECT_FALSE(decode_do_text("", 1));
  EXPECT_TRUE(decode_do_text("", 0));
}

}  // namespace
