// process_message against the real write-back and a simulated Modbus TCP
// device: the log, the pending bits, the coils and registers written.
#include "messaging/downlink_udp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/records.h"
#include "downlink_fixture.h"

namespace {

class ProcessMessage : public DownlinkFixture {
 protected:
  // The frame as the dispatcher hands it over: in its 1024-byte buffer.
  std::string run(const std::string& frame) {
    char buf[1024] = {};
    std::memcpy(buf, frame.data(), std::min(frame.size(), sizeof buf - 1));
    testing::internal::CaptureStdout();
    process_message(buf, mb_num);
    return testing::internal::GetCapturedStdout();
  }
};

std::string field_log(const char* session, const char* version, const char* id, const char* packet,
                      const char* type, const char* number) {
  return std::string("!! This message is for SESSION") + session + " !!\n" +
         "Preamble       = AE\n" + "Device Type    = QRX724H\n" + "Device Version = " + version +
         "\n" + "Session ID     = " + id + "\n" + "PacketID       = " + packet + "\n" +
         "Type           = " + type + "\n" + "Offset         = 0\n" + "Number         = " + number +
         "\n";
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TEST_F(ProcessMessage, WorkedExampleLogsClearsTheBitAndWritesTheCoils) {
  packetID_send = 17;
  std::memset(packetID_send_check, 0x3F, sizeof packetID_send_check);
  std::string out = run("AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA");

  EXPECT_TRUE(starts_with(out, field_log("02", "4", "2", "17", "RDO", "3"))) << out;
  // Written for session index 1 (the only one with DO slots), old values shown.
  EXPECT_NE(out.find("Before writing DO values[3]:\n1-1,1-2,1-3,\n1,1,1,\n"), std::string::npos)
      << out;
  EXPECT_TRUE(ends_with(out, "EndChar        = EA\n\n")) << out;
  EXPECT_EQ(packetID_send_check[1], 0x3F & ~2);
  EXPECT_EQ(packetID_send_check[0], 0x3F);
  EXPECT_EQ(writes(), 1);
  EXPECT_EQ(coils(), "1 0 1 1");  // coil 103 is not mapped: left as it was
  SessionValues now = copy_session_values(1);
  EXPECT_EQ(now.do_value[1], 0);
}

TEST_F(ProcessMessage, ValuesAreCutToTheOutputWidthAndExtraValuesIgnored) {
  run("AE,QRX724H,0100,2,0,RAO,0,2,65536,-1,EA");
  EXPECT_EQ(registers(), "0 65535 77");  // register 302 is not mapped
  EXPECT_EQ(writes(), 1);

  std::string out = run("AE,QRX724H,0100,2,0,RDO,0,5,256,1,1,0,0,EA");
  EXPECT_EQ(coils(), "0 1 1 1");
  EXPECT_TRUE(ends_with(out, "EndChar        = EA\n\n")) << out;
  EXPECT_EQ(writes(), 1);
}

TEST_F(ProcessMessage, EqualValuesCauseNoModbusTraffic) {
  std::string out = run("AE,QRX724H,0100,2,0,RDO,0,3,1,1,1,EA");
  EXPECT_EQ(out, field_log("02", "4", "2", "0", "RDO", "3") +
                     "DO values are same. No need to write values to modbus.\n"
                     "EndChar        = EA\n\n");
  out = run("AE,QRX724H,0100,2,0,RAO,0,2,5,5,EA");
  EXPECT_NE(out.find("AO values are same. No need to write values to modbus.\n"),
            std::string::npos);
  EXPECT_EQ(traffic(), "");
}

TEST_F(ProcessMessage, PendingBitsOnlyForTheCurrentPacketId) {
  packetID_send = 18;
  std::memset(packetID_send_check, 0x3F, sizeof packetID_send_check);
  run("AE,QRX724H,0100,2,17,RDO,0,3,0,0,0,EA");  // a late answer still writes
  EXPECT_EQ(packetID_send_check[1], 0x3F);
  EXPECT_EQ(coils(), "0 0 0 1");

  packetID_send_check[1] = 0xFF;
  std::string out = run("AE,QRX724H,0100,2,18,WGPS,0,1,1:A:2,EA");
  EXPECT_EQ(packetID_send_check[1], 0x1F);  // bit 5 only (6 and 7 are never set)
  // A Type without values: the EndChar line shows the ninth field.
  EXPECT_TRUE(ends_with(out, "Number         = 1\nEndChar        = 1:A:2\n\n")) << out;

  run("AE,QRX724H,0100,2,18,XYZ,0,0,EA");
  EXPECT_EQ(packetID_send_check[1], 0x1F);
  run("AE,QRX724H,0100,2,18,DEVINFO,0,4,1,NULL,3,0,EA");
  EXPECT_EQ(packetID_send_check[1], 0x1E);
}

TEST_F(ProcessMessage, AcceptanceAndDeviceVersion) {
  std::string out = run("XE,QRX724H,1111,5,0,DEVINFO,0,0,EA");
  EXPECT_NE(out.find("Preamble       = XE\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Device Version = 15\n"), std::string::npos) << out;
  out = run("AX,QRX724H,0000,5,0,DEVINFO,0,0,EA");
  EXPECT_NE(out.find("Device Version = 0\n"), std::string::npos) << out;

  packetID_send_check[0] = 0x3F;
  EXPECT_EQ(run("EA,QRX724H,0100,5,0,DEVINFO,0,0,EA"), "Message format error!!\n");
  EXPECT_EQ(packetID_send_check[0], 0x3F);
}

TEST_F(ProcessMessage, RdoForASessionWithoutDoSlotsOnlyLogs) {
  packetID_send_check[0] = 0x3F;
  std::string out = run("AE,QRX724H,0100,5,0,RDO,0,2,1,1,EA");
  EXPECT_EQ(out, field_log("05", "4", "5", "0", "RDO", "2") + "EndChar        = 1\n\n");
  EXPECT_EQ(packetID_send_check[0], 0x3D);  // the server did answer
  EXPECT_EQ(traffic(), "");
}

TEST_F(ProcessMessage, Refusals) {
  std::memset(packetID_send_check, 0x3F, sizeof packetID_send_check);

  // No configured session holds the ID: nothing cleared, nothing written.
  std::string out = run("AE,QRX724H,0100,9,0,RDO,0,3,0,0,0,EA");
  EXPECT_EQ(out, field_log("09", "4", "9", "0", "RDO", "3") +
                     "Session ID 9 is not configured. Command ignored!!\n");
  EXPECT_EQ(packetID_send_check[0], 0x3F);

  EXPECT_EQ(run("AE,QRX724H,0100,2,0,RDO,0"), "Message has fewer than 8 fields!!\n");

  // Too few values for the slots, a negative Number, or more than the frame
  // holds (EA is not a value): the bit is cleared, no value written.
  out = run("AE,QRX724H,0100,2,0,RDO,0,2,0,0,EA");
  EXPECT_TRUE(ends_with(out,
                        "DO values refused: Number 2, 3 slots in the session, 2 values in "
                        "the message!!\nEndChar        = EA\n\n"))
      << out;
  EXPECT_EQ(packetID_send_check[1], 0x3D);
  out = run("AE,QRX724H,0100,2,0,RAO,0,-1,EA");
  EXPECT_NE(out.find("AO values refused: Number -1"), std::string::npos) << out;
  out = run("AE,QRX724H,0100,2,0,RDO,0,4,0,0,0,EA");
  EXPECT_NE(out.find("DO values refused: Number 4, 3 slots in the session, 3 values"),
            std::string::npos)
      << out;
  EXPECT_EQ(traffic(), "");
  EXPECT_EQ(coils(), "1 1 1 1");
}

TEST_F(ProcessMessage, EndOfFrameAfterTheLastValueOrInPadding) {
  std::string out = run("AE,QRX724H,0100,2,0,RDO,0,3,0,0,0");
  EXPECT_TRUE(ends_with(out, "\nEndChar        = \n\n")) << out;
  EXPECT_EQ(coils(), "0 0 0 1");

  out = run("AE,QRX724H,0100,2,0,RDO,0,3,1,1,0,EA      ");
  EXPECT_TRUE(ends_with(out, "\nEndChar        = EA      \n\n")) << out;
  EXPECT_EQ(coils(), "1 1 0 1");
}

}  // namespace
