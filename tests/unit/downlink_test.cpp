// The command handlers against the real write-back and one simulated Modbus
// TCP device (the bench kit's modbus_sim); the whole daemon's tests feed them
// through the receive dispatcher. Two sessions:
//   index 0, ID 5: no DO and no AO slots;
//   index 1, ID 2: DO slots 0-2 on coils 0-2, AO slots 0-1 on holding registers
//   200-201. Coil 3 and register 202 are on the device but not mapped.
// The image and the device start equal: coils 1 1 1 1, registers 5 5 77.
#include "messaging/downlink.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "config/configuration.h"
#include "config/mb_conf.h"
#include "messaging/downlink_mqtt.h"
#include "messaging/downlink_udp.h"
#include "messaging/report_book.h"
#include "modbus/modbus_io.h"
#include "modbus_sim_client.h"
#include "test_support.h"

namespace {

class Downlink : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(ModbusSim::available()) << ModbusSim::binary() << " is not built";
    ASSERT_TRUE(sim.start({"--tcp", "0", "--block", "do:0:4", "--block", "ao:200:3"}));
    reset();
  }
  // Device, image and acknowledgement back to the starting state.
  void reset() {
    ASSERT_EQ(sim.cmd("set 0 do 0 1 1 1 1") + sim.cmd("set 0 ao 200 5 5 77"), "okok");
    support::store_values(image, 0, {});
    mapping = Mapping{};
    devices = parse_mb_conf(support::device_file({{4, 0, 3, 0}}), "quorvane.ini").value();
    devices[0].tcp_port = sim.devices.at(0).port;
    mapping.session_id[0] = 5;
    mapping.session_id[1] = 2;
    support::map_line(mapping, IoType::DO, 1, "1-1,1-2,1-3,");
    support::map_line(mapping, IoType::AO, 1, "1-1,1-2,");
    support::store_values(image, 1, {.do_value = {1, 1, 1}, .ao_value = {5, 5}});
    book = ReportBook{};
    book.set_packet_id_for_test(17);
    for (int s = 0; s < kMaxSessions; ++s) book.set_pending(s, 0x3F);
    sim.requests(0);
  }
  std::string coils() { return sim.cmd("get 0 do 0 4").substr(3); }
  std::string registers() { return sim.cmd("get 0 ao 200 3").substr(3); }
  // How many of the requests since the last look wrote (function 15 or 16).
  int writes() {
    std::string t = " " + sim.requests(0);
    int n = 0;
    for (size_t at = 0; (at = t.find(" 1", at)) != std::string::npos; ++at)
      n += t[at + 2] == '5' || t[at + 2] == '6';
    return n;
  }

  support::ScopedConsoleCapture console;
  support::TempRoot root;
  ModbusSim sim;
  IoImage image;
  ReportBook book;
  DeviceList devices;
  Mapping mapping{};
};

TEST_F(Downlink, UdpFramesLogClearTheirPendingBitAndWriteWhatDiffers) {
  auto header = [](const char* packet) {
    return std::string(
               "!! This message is for SESSION02 !!\nPreamble       = AE\nDevice Type    = ") +
           "QRX724H\nDevice Version = 4\nSession ID     = 2\nPacketID       = " + packet +
           "\nType           = RDO\nOffset         = 0\nNumber         = 3\n";
  };
  struct Case {
    std::string frame;
    std::string contains{};  // "=" in front: the whole console
    std::string ends{};
    std::string coils = "1 1 1 1", regs = "5 5 77";
    int check0 = 0x3F, check1 = 0x3F;
    bool current_only = false;  // downlink_packet_check=current
    int start1 = 0x3F;          // session index 1's pending bits before the frame
  };
  const std::string not_awaited = " does not answer a request in flight (PacketID 17)!!\n";
  const Case cases[] = {
      // Written for session index 1 (the only one with DO slots), old values shown;
      // coil 103 is not mapped and keeps its value.
      {"AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA",
       header("17") + "Before writing DO values[3]:\n1-1,1-2,1-3,\n1,1,1,\n",
       "EndChar        = EA\n\n", "1 0 1 1", "5 5 77", 0x3F, 0x3D},
      // Values cut to the output width; values beyond Number ignored.
      {"AE,QRX724H,0100,2,17,RAO,0,2,65536,-1,EA", "", "", "1 1 1 1", "0 65535 77", 0x3F, 0x37},
      {"AE,QRX724H,0100,2,0,RDO,0,5,256,1,1,0,0,EA", "", "EndChar        = EA\n\n", "0 1 1 1"},
      // Equal values cause no Modbus traffic.
      {"AE,QRX724H,0100,2,0,RDO,0,3,1,1,1,EA",
       "=" + header("0") +
           "DO values are same. No need to write values to modbus.\nEndChar        = EA\n\n"},
      {"AE,QRX724H,0100,2,0,RAO,0,2,5,5,EA",
       "AO values are same. No need to write values to modbus.\n"},
      // Pending bits only for the current packet ID; a late answer still writes.
      {"AE,QRX724H,0100,2,16,RDO,0,3,0,0,0,EA", "", "", "0 0 0 1"},
      {"AE,QRX724H,0100,2,17,WGPS,0,1,1:A:2,EA", "",
       "Number         = 1\nEndChar        = 1:A:2\n\n", "1 1 1 1", "5 5 77", 0x3F, 0x1F},
      {"AE,QRX724H,0100,2,17,XYZ,0,0,EA", ""},
      {"AE,QRX724H,0100,2,17,DEVINFO,0,4,1,NULL,3,0,EA", "", "", "1 1 1 1", "5 5 77", 0x3F, 0x3E},
      {"AE,QRX724H,0100,2,17,xWAIRDOx,0,0,EA", "", "", "1 1 1 1", "5 5 77", 0x3F, 0x3D},
      // Runs of commas count as one; the version is read in base two by position.
      {"AE,,QRX724H,,1x1,2,,-3,RDO,0,,3,1,0,1,EA",
       "Device Version = 5\nSession ID     = 2\nPacketID       = -3\n", "", "1 0 1 1"},
      {"XE,QRX724H,1111,5,0,DEVINFO,0,0,EA",
       "Preamble       = XE\nDevice Type    = QRX724H\nDevice Version = 15\n"},
      {"AX,QRX724H,0000,5,0,DEVINFO,0,0,EA", "Device Version = 0\n"},
      {"EA,QRX724H,0100,5,17,DEVINFO,0,0,EA", "=Message format error!!\n"},
      {"AE,QRX724H,0100,2,0,RDO,0", "=Message has fewer than 8 fields!!\n"},
      // A session without DO slots: only logged, but the server did answer.
      {"AE,QRX724H,0100,5,17,RDO,0,2,1,1,EA", "", "Number         = 2\nEndChar        = 1\n\n",
       "1 1 1 1", "5 5 77", 0x3D},
      {"AE,QRX724H,0100,9,17,RDO,0,3,0,0,0,EA", "",
       "Session ID 9 is not configured. Command ignored!!\n"},
      // ID 0 is what a record past the configured sessions holds.
      {"AE,QRX724H,0100,0,17,RDO,0,3,0,0,0,EA", "",
       "Session ID 0 is not configured. Command ignored!!\n"},
      // Too few values for the slots, a negative Number, or more than the frame
      // holds (EA is not a value): the bit is cleared, no value written.
      {"AE,QRX724H,0100,2,17,RDO,0,2,0,0,EA", "",
       "DO values refused: Number 2, 3 slots in the session, 2 values in the message!!\n"
       "EndChar        = EA\n\n",
       "1 1 1 1", "5 5 77", 0x3F, 0x3D},
      {"AE,QRX724H,0100,2,0,RAO,0,-1,EA", "AO values refused: Number -1"},
      {"AE,QRX724H,0100,2,0,RDO,0,4,0,0,0,EA",
       "DO values refused: Number 4, 3 slots in the session, 3 values"},
      {"AE,QRX724H,0100,2,0,RDO,0,0", "",
       "Number 0, 3 slots in the session, 0 values in the message!!\nEndChar        = \n\n"},
      // Only the request in flight: this cycle's ID and its bit still pending.
      {.frame = "AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA",
       .coils = "1 0 1 1",
       .check1 = 0x3D,
       .current_only = true},
      {.frame = "AE,QRX724H,0100,2,16,RDO,0,3,1,0,1,EA",
       .contains = "RDO values refused: PacketID 16" + not_awaited + "EndChar        = EA\n\n",
       .current_only = true},
      {.frame = "AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA",
       .contains = "RDO values refused: PacketID 17" + not_awaited,
       .check1 = 0x3D,
       .current_only = true,
       .start1 = 0x3D},
      {.frame = "AE,QRX724H,0100,2,18,RAO,0,2,1,2,EA",
       .contains = "RAO values refused: PacketID 18" + not_awaited,
       .current_only = true},
      // The frame ending after its last value, or in cipher padding.
      {"AE,QRX724H,0100,2,0,RDO,0,3,0,0,0", "", "\nEndChar        = \n\n", "0 0 0 1"},
      {"AE,QRX724H,0100,2,0,RDO,0,3,1,1,0,EA      ", "", "\nEndChar        = EA      \n\n",
       "1 1 0 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.frame);
    reset();
    book.set_answers_current_cycle_only(c.current_only);
    book.clear_pending(1, static_cast<uint8_t>(~c.start1));
    char buf[1024] = {};  // as the dispatcher hands it over
    std::memcpy(buf, c.frame.data(), c.frame.size());
    process_message(book, image, mapping, devices, buf);
    std::string out = console.take();
    if (c.contains.starts_with("="))
      EXPECT_EQ(out, c.contains.substr(1));
    else
      EXPECT_NE(out.find(c.contains), std::string::npos) << out;
    EXPECT_TRUE(out.ends_with(c.ends)) << out;
    EXPECT_EQ(writes(), (c.coils != "1 1 1 1") + (c.regs != "5 5 77"));
    EXPECT_EQ(coils(), c.coils);
    EXPECT_EQ(registers(), c.regs);
    EXPECT_EQ(book.pending(0), c.check0);
    EXPECT_EQ(book.pending(1), c.check1);
  }
}

TEST_F(Downlink, MqttCommandsWriteWhatDiffersAndAcknowledge) {
  struct Case {
    int32_t session;
    const char* type;
    const char* data;
    std::string out;  // the console starts with it
    const char* ack = "";
    std::string coils = "1 1 1 1", regs = "5 5 77";
    bool one_slot = false;  // session ID 5 given DO slot 0 on coil 3, image 1
    bool offline = false;   // nothing listens where the device is
  };
  const std::string same = " values are same. No need to write values to modbus.\n";
  const std::string differ = " values are different. Update values to modbus.\n";
  const Case cases[] = {
      {2, "DO", "010101", "DO" + same, "DO_ACK"},
      // One pair more than the slots; one different value writes them all.
      {2, "DO", "FF000100", "DO" + differ + "Before writing DO values[3]:", "DO_ACK", "1 0 1 1"},
      {2, "AO", "03e80005", "AO" + differ, "AO_ACK", "1 1 1 1", "1000 5 77"},
      {2, "do", "010001", "Not DO or AO message!!\n"},
      {2, "DI", "010001", "Not DO or AO message!!\n"},
      {5, "DO", "01", "No DO exist!!\n"},
      {5, "AO", "0001", "No AO exist!!\n"},
      {9, "DO", "000000", "Session ID 9 is not configured. Command ignored!!\n"},
      {0, "DO", "000000", "Session ID 0 is not configured. Command ignored!!\n"},
      {2, "DO", "00000", "DO values too short: 5 characters for 3 slots!!\n"},
      {2, "AO", "0000000", "AO values too short: 7 characters for 2 slots!!\n"},
      // A session of one slot takes its one value.
      {5, "DO", "00", "DO" + differ, "DO_ACK", "1 1 1 0", "5 5 77", true},
      // A write-back that cannot reach its device is answered (start-up's
      // handler ends the process); nothing is acknowledged.
      {2, "DO", "000000", "DO" + differ, "", "1 1 1 1", "5 5 77", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " " + c.data);
    reset();
    if (c.one_slot) {
      support::map_line(mapping, IoType::DO, 0, "1-4,");
      support::store_values(image, 0, {.do_value = {1}});
    }
    MqttDownlink record{};
    record.session_id = c.session;
    copy_text(record.type, sizeof record.type, c.type);
    copy_text(record.data, sizeof record.data, c.data);
    record.length = static_cast<uint32_t>(std::strlen(c.data));
    if (c.offline) devices[0].tcp_port = 1;
    EXPECT_EQ(process_message_MQTT(book, image, mapping, devices, record),
              c.offline ? IoResult::kUnreachable : IoResult::kOk);
    std::string out = console.take();
    EXPECT_EQ(out.compare(0, c.out.size(), c.out), 0) << out;
    EXPECT_EQ(book.pop_ack().value_or(""), c.ack);
    EXPECT_EQ(writes(), (c.coils != "1 1 1 1") + (c.regs != "5 5 77"));
    EXPECT_EQ(coils(), c.coils);
    EXPECT_EQ(registers(), c.regs);
  }
}

}  // namespace
