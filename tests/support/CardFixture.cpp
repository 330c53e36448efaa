#include "support/CardFixture.h"

#include "personalise/CreateSecureContainer.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {

std::vector<std::string> personalisationScript() {
  const Bytes key = fromHex(kAdminKey);
  std::vector<std::string> texts;
  for (const ScriptCommand& command : quillon::personalisationScript("1234", key.data(), kSerial))
    texts.emplace_back(command.c_str());
  return texts;
}

Response transmitHex(IJCRuntime& runtime, const std::string& text) {
  const Bytes command = fromHex(text);
  std::uint8_t response[600];
  std::uint32_t length = sizeof response;
  EXPECT_EQ(runtime.transmit(command.data(), static_cast<std::uint32_t>(command.size()), response, length), 0u);
  Response r;
  if (length < 2) return r;
  r.data = toHex(Bytes(response, response + length - 2));
  r.sw = static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
  return r;
}

Response readAll(IJCRuntime& runtime, Response r) {
  for (int guard = 0; (r.sw & 0xFF00) == 0x6100 && guard < 256; ++guard) {
    const Response next = transmitHex(runtime, "00C0000000");
    r.data += next.data;
    r.sw = next.sw;
  }
  return r;
}

void personaliseCard(IJCRuntime& runtime) {
  int i = 0;
  for (const auto& command : personalisationScript())
    EXPECT_EQ(transmitHex(runtime, command).sw, 0x9000) << "command " << ++i;
}

std::string addGeneratedKey(IJCRuntime& runtime) {
  EXPECT_EQ(transmitHex(runtime, std::string("0020008004") + kTestPin).sw, 0x9000);
  EXPECT_EQ(transmitHex(runtime, kCreateKeyFile).sw, 0x9000);
  EXPECT_EQ(transmitHex(runtime, "0044000000").sw, 0x9000);
  const Response r = readAll(runtime, transmitHex(runtime, "0047000008AC06800107830181"));
  EXPECT_EQ(r.sw, 0x9000);
  return r.data;
}

ossl::PkeyPtr publicKeyFromAnswer(const std::string& text) {
  const Bytes answer = fromHex(text);
  std::size_t at = 2;  // after 7F 49
  auto length = [&]() -> std::size_t {
    const std::uint8_t b = answer.at(at++);
    std::size_t n = b < 0x80 ? b : 0;
    for (int i = 0; b >= 0x80 && i < (b & 0x7F); ++i) n = n << 8 | answer.at(at++);
    return n;
  };
  auto field = [&](std::uint8_t tag) {
    EXPECT_EQ(answer.at(at++), tag);
    const std::size_t n = std::min(length(), answer.size() - at);
    const Bytes value(answer.begin() + static_cast<std::ptrdiff_t>(at),
                      answer.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    return value;
  };
  length();
  const Bytes modulus = field(0x81);
  return rsaPublicKey(modulus, field(0x82));
}

}  // namespace quillon::test
