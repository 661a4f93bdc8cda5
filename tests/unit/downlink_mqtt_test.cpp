// process_message_MQTT against the real write-back and a simulated Modbus TCP
// device: console texts, coils and registers, the acknowledgement.
#include "messaging/downlink_mqtt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/text.h"
#include "config/records.h"
#include "downlink_fixture.h"

namespace {

class ProcessMessageMqtt : public DownlinkFixture {
 protected:
  std::string run(int32_t session_id, const char* type, const char* data) {
    MqttDownlink record{};
    record.session_id = session_id;
    copy_text(record.type, sizeof record.type, type);
    copy_text(record.data, sizeof record.data, data);
    record.length = static_cast<uint32_t>(std::strlen(data));
    testing::internal::CaptureStdout();
    process_message_MQTT(record, mb_num);
    return testing::internal::GetCapturedStdout();
  }
};

TEST_F(ProcessMessageMqtt, EqualDoValuesWriteNothingButAreAcknowledged) {
  EXPECT_EQ(run(2, "DO", "010101"), "DO values are same. No need to write values to modbus.\n");
  EXPECT_EQ(traffic(), "");
  EXPECT_EQ(flag_ACK, 1);
  EXPECT_STREQ(data_ACK, "DO_ACK");
}

TEST_F(ProcessMessageMqtt, OneDifferentDoValueWritesThemAll) {
  std::string out = run(2, "DO", "FF000100");  // one pair more than the slots
  EXPECT_TRUE(out.rfind("DO values are different. Update values to modbus.\n", 0) == 0) << out;
  EXPECT_NE(out.find("Before writing DO values[3]:"), std::string::npos) << out;
  EXPECT_EQ(writes(), 1);
  EXPECT_EQ(coils(), "1 0 1 1");  // coil 103 is not mapped: left as it was
  EXPECT_EQ(copy_session_values(1).do_value[0], 255);
  EXPECT_EQ(flag_ACK, 1);
  EXPECT_STREQ(data_ACK, "DO_ACK");
}

TEST_F(ProcessMessageMqtt, AoGroupsOfFourDigitsAndTheAckOverTheBufferStart) {
  std::memset(data_ACK, 'X', 16);
  std::string out = run(2, "AO", "03E80005");
  EXPECT_TRUE(out.rfind("AO values are different. Update values to modbus.\n", 0) == 0) << out;
  EXPECT_EQ(registers(), "1000 5 77");
  EXPECT_EQ(std::memcmp(data_ACK, "AO_ACK\0X", 8), 0);
  EXPECT_EQ(flag_ACK, 1);

  EXPECT_EQ(run(2, "AO", "03e80005"), "AO values are same. No need to write values to modbus.\n");
  EXPECT_EQ(writes(), 1);
}

TEST_F(ProcessMessageMqtt, RefusedCommandsLeaveNoAcknowledgement) {
  EXPECT_EQ(run(2, "do", "010001"), "Not DO or AO message!!\n");
  EXPECT_EQ(run(2, "DI", "010001"), "Not DO or AO message!!\n");
  EXPECT_EQ(run(5, "DO", "01"), "No DO exist!!\n");
  EXPECT_EQ(run(5, "AO", "0001"), "No AO exist!!\n");
  EXPECT_EQ(run(9, "DO", "000000"), "Session ID 9 is not configured. Command ignored!!\n");
  EXPECT_EQ(run(2, "DO", "00000"), "DO values too short: 5 characters for 3 slots!!\n");
  EXPECT_EQ(run(2, "AO", "0000000"), "AO values too short: 7 characters for 2 slots!!\n");
  EXPECT_EQ(flag_ACK, 0);
  EXPECT_EQ(data_ACK[0], '\0');
  EXPECT_EQ(traffic(), "");
}

}  // namespace
