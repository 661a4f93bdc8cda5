// The command handlers as start-up installs them, fed by the receive
// dispatcher from a modem on a pseudo-terminal, down to the simulated device.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "common/text.h"
#include "config/records.h"
#include "downlink_fixture.h"
#include "messaging/codec.h"
#include "messaging/downlink_handlers.h"
#include "modem/at_link.h"
#include "modem_pty.h"

namespace {

std::string hex_of(const uint8_t* bytes, size_t n) {
  std::string hex(2 * n + 1, '\0');
  hex.resize(bytes_to_hex(bytes, n, hex.data()));
  return hex;
}

std::string hex_of(const std::string& text) {
  return hex_of(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

class DispatchedCommands : public DownlinkFixture {
 protected:
  void SetUp() override {
    DownlinkFixture::SetUp();
    install_downlink_handlers();
  }

  // One pass of the receive routine over what the modem sent.
  std::string receive(const std::string& lines) {
    pty.send(modem_port, lines);
    std::array<char, kResponseSize> response{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(recv_str(modem_port, response.data(), 0), 1);
    return testing::internal::GetCapturedStdout();
  }

  ModemPty pty;  // before SetUp: it resets the records itself
};

TEST_F(DispatchedCommands, UdpAnswerFromTheModemWritesTheCoils) {
  packetID_send = 17;
  packetID_send_check[1] = 0x3F;
  std::array<uint8_t, 64> frame{};
  const std::string text = "AE,QRX724H,0100,2,17,RDO,0,3,1,0,1,EA";
  std::memcpy(frame.data(), text.data(), text.size());
  int32_t len = static_cast<int32_t>(text.size());
  encode_msg(frame.data(), &len);

  std::string out = receive("+ESONMI=0," + std::to_string(len) + "," +
                            hex_of(frame.data(), static_cast<size_t>(len)) + "\r\n");
  EXPECT_NE(out.find("!! This message is for SESSION02 !!\n"), std::string::npos) << out;
  EXPECT_EQ(coils(), "1 0 1 1");
  EXPECT_EQ(packetID_send_check[1], 0x3D);
}

TEST_F(DispatchedCommands, MqttCommandsPlainAndJsonWriteAndAcknowledge) {
  receive("+EMQPUB: 0,\"/gw/cmd/2/AO\",1,0,0,8,\"" + hex_of("03E80005") + "\"\r\n");
  EXPECT_EQ(registers(), "1000 5 77");
  EXPECT_STREQ(data_ACK, "AO_ACK");
  EXPECT_EQ(flag_ACK, 1);

  flag_ACK = 0;
  flag_mqtt_CHT = 1;
  const std::string json =
      "{\"id\":\"s1\",\"deviceId\":\"gw\",\"time\":\"2024-01-01T00:00:00Z\",\"value\":["
      "\"2/DO/010001\"]}";
  std::string out = receive("+EMQPUB: 0,\"/gw/cmd\",1,0,0," + std::to_string(json.size()) + ",\"" +
                            hex_of(json) + "\"\r\n");
  EXPECT_NE(out.find("DO values are different. Update values to modbus.\n"), std::string::npos)
      << out;
  EXPECT_EQ(coils(), "1 0 1 1");
  EXPECT_STREQ(data_ACK, "DO_ACK");
  EXPECT_EQ(flag_ACK, 1);
}

}  // namespace
