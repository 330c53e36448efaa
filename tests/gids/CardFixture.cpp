#include "CardFixture.h"

#include "base/Hex.h"

namespace quillon::test {

std::vector<std::string> personalisationScript() {
  return {
      "00A4040409A0000003974254465900",
      std::string("0024018004") + kTestPin,
      "00E000000E620C8201398302A0008C03033000",
      "0044000000",
      "00E000000E620C8201398302A0108C03033000",
      "0044000000",
      "00E000000E620C8201398302A0118C030330FF",
      "0044000000",
      "00E000000E620C8201398302A0128C03032000",
      "0044000000",
      "00E000000E620C8201398302A0138C03033030",
      "0044000000",
      "00E000000E620C8201398302A0148C03032020",
      "0044000000",
      "00 E0 00 00 1C 62 1A 82 01 18 83 02 B0 80 8C 04 87 00 20 FF A5 0B A4 09 80 01 02 83 01 80 95 01 C0",
      "0044000000",
      std::string("00DB3FFF267024840180A51F8718") + kAdminKey + "8803B073DC",
      std::string("00 DB A0 12 13 DF 20 10 ") + kSerial,
      "00DBA00091DF1F818D016d736370000000000000000000000000000000000000000000a00000000000000000000000636172646964"
      "000000000020df000012a00000000000000000000000636172646170707300000021df000010a0000000000000000000000063617264"
      "6366000000000022df000010a000006d7363700000000000636d617066696c6500000023df000010a00000",
      "00 DB A0 10 0B DF 21 08 6d 73 63 70 00 00 00 00",
      "00 DB A0 10 09 DF 22 06 00 00 00 00 00 00",
      "00 DB A0 10 03 DF 23 00",
      "00 DB A0 10 13 DF 20 10 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f",
      "00 A4 00 0C 02 3F FF",
      "0044000000",
  };
}

CardFixture::CardFixture() { applet = GidsApplet::install(runtime); }

Response CardFixture::send(const std::string& text) {
  std::vector<std::uint8_t> command;
  EXPECT_TRUE(hex::decode(text, command)) << text;
  std::uint8_t response[600];
  std::uint32_t length = sizeof response;
  EXPECT_EQ(runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length), 0u);
  Response r;
  if (length < 2) return r;
  r.data = hex::encode({response, length - 2});
  r.sw = static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
  return r;
}

void CardFixture::personalise() {
  int i = 0;
  for (const auto& command : personalisationScript()) EXPECT_EQ(sw(command), 0x9000) << "command " << ++i;
}

void CardFixture::activateApplication() {
  ASSERT_EQ(sw("00A4000C023FFF"), 0x9000);
  ASSERT_EQ(sw("0044000000"), 0x9000);
}

}  // namespace quillon::test
