// GENERAL AUTHENTICATE with the administrator key, external and mutual, with
// OpenSSL's triple-DES as the terminal, and what administrator authentication
// allows (the refusals are sessions in tests/data/gids/admin.apdu).
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

constexpr const char* kNoChallengeResponse = "008700000C7C0A82080000000000000000";
constexpr const char* kReadAdminFile = "00CBA014045C02DF20";  // A014: administrator only
constexpr const char* kTerminalChallenge = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";

class AdminAuthenticationTest : public CardFixture {
 protected:
  void SetUp() override { personalise(); }

  // External authentication with `key`; the status word of the response step.
  std::uint16_t external(const std::string& key) {
    EXPECT_EQ(sw("002281A403830180"), 0x9000);
    const Response challenge = send("00870000047C02810000");
    EXPECT_EQ(challenge.data.substr(0, 8), "7C0A8108");
    const Bytes cryptogram = tdesCbc(fromHex(key), fromHex(challenge.data.substr(8)), true);
    return sw("008700000C7C0A8208" + toHex(cryptogram));
  }
  // Mutual authentication up to the response step, whose data holds both
  // challenges (card's first unless `swapped`), 7 bytes and padding 80.
  Response mutual(bool swapped) {
    EXPECT_EQ(sw("0022C1A403830180"), 0x9000);
    const Response challenge = send(std::string("00870000147C128110") + kTerminalChallenge + "00");
    EXPECT_EQ(challenge.data.substr(0, 8), "7C128110");
    cardChallenge = challenge.data.substr(8);
    const std::string both = swapped ? kTerminalChallenge + cardChallenge : cardChallenge + kTerminalChallenge;
    return send("008700002C7C2A8228" + toHex(tdesCbc(fromHex(kAdminKey), fromHex(both + "01020304050607 80"), true)) +
                "00");
  }
  std::string cardChallenge;
};

TEST_F(AdminAuthenticationTest, ExternalAuthentication) {
  EXPECT_EQ(external("8102030405060708090A0B0C0D0E0F101112131415161718"), 0x6982);
  EXPECT_EQ(sw(kReadAdminFile), 0x6982);
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);  // the challenge went with the failure
  EXPECT_EQ(external(kAdminKey), 0x9000);
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);  // a second response without a new challenge
  EXPECT_EQ(sw("00DBA01404DF200100"), 0x9000);
  EXPECT_EQ(send(kReadAdminFile).data, "DF200100");
  // A new challenge request ends an authentication even without a response.
  ASSERT_EQ(send("00870000047C028100").sw, 0x9000);
  EXPECT_EQ(sw(kReadAdminFile), 0x6982);
}

TEST_F(AdminAuthenticationTest, MutualAuthentication) {
  EXPECT_EQ(mutual(true).sw, 0x6982);
  EXPECT_EQ(sw(kReadAdminFile), 0x6982);
  const Response answer = mutual(false);
  ASSERT_EQ(answer.sw, 0x9000);
  ASSERT_EQ(answer.data.substr(0, 8), "7C2A8228");
  const std::string plain = toHex(tdesCbc(fromHex(kAdminKey), fromHex(answer.data.substr(8)), false));
  EXPECT_EQ(plain.substr(0, 32), kTerminalChallenge);
  EXPECT_EQ(plain.substr(32, 32), cardChallenge);
  EXPECT_EQ(plain.substr(78), "80");
  EXPECT_EQ(sw(kReadAdminFile), 0x6A88);
}

TEST_F(AdminAuthenticationTest, AdministratorUnblocksABlockedPin) {
  for (int i = 0; i < 3; ++i) sw("002000800439393939");
  ASSERT_EQ(sw("002000800431323334"), 0x6983);
  ASSERT_EQ(external(kAdminKey), 0x9000);
  EXPECT_EQ(sw("002C0280023131"), 0x6700);  // new PIN too short
  EXPECT_EQ(sw("002C02800435353535"), 0x9000);
  EXPECT_EQ(sw("002C02800435353535"), 0x6982);  // the administrator right went with the reset
  EXPECT_EQ(sw("002000800435353535"), 0x9000);
}

}  // namespace
}  // namespace quillon::test
