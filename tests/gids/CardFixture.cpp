#include "CardFixture.h"

#include "base/Hex.h"
#include "personalise/CreateSecureContainer.h"

namespace quillon::test {

std::vector<std::string> personalisationScript() {
  std::vector<std::uint8_t> key;
  hex::decode(kAdminKey, key);
  std::vector<std::string> texts;
  for (const ScriptCommand& command : quillon::personalisationScript("1234", key.data(), kSerial))
    texts.push_back(command.text);
  return texts;
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
