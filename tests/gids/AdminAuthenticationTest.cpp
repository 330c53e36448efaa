// GENERAL AUTHENTICATE with the administrator key, external and mutual, with
// OpenSSL's triple-DES as the terminal, and what administrator authentication allows.
#include "gids/GidsPINManager.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

constexpr const char* kNoChallengeResponse = "008700000C7C0A82080000000000000000";

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
  // Mutual authentication's response step: both challenges in the order given, 7 bytes, padding 80.
  std::string mutualResponse(const std::string& first, const std::string& second) {
    return toHex(tdesCbc(fromHex(kAdminKey), fromHex(first + second + "01020304050607 80"), true));
  }
  // Opens mutual authentication with this terminal challenge; the card's challenge.
  std::string mutualChallenge(const std::string& terminalChallenge) {
    const Response challenge = send("00870000147C128110" + terminalChallenge + "00");
    EXPECT_EQ(challenge.sw, 0x9000);
    EXPECT_EQ(challenge.data.size(), 2u * 20);
    EXPECT_EQ(challenge.data.substr(0, 8), "7C128110");
    return challenge.data.substr(8);
  }
  bool authenticated() { return applet->pins().CheckExternalOrMutualAuthentication(); }
};

TEST_F(AdminAuthenticationTest, ExternalAuthentication) {
  EXPECT_EQ(sw("00CBA014045C02DF20"), 0x6982);  // A014: administrator only
  EXPECT_EQ(external("8102030405060708090A0B0C0D0E0F101112131415161718"), 0x6982);
  EXPECT_FALSE(authenticated());
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);  // the challenge went with the failure
  EXPECT_EQ(external(kAdminKey), 0x9000);
  EXPECT_EQ(applet->pins().authenticationStatus[0], GidsPINManager::AUTH_EXTERNAL_DONE);
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);  // a second response without a new challenge
  EXPECT_EQ(sw("00DBA01404DF200100"), 0x9000);
  EXPECT_EQ(send("00CBA014045C02DF20").data, "DF200100");
  // A new challenge request ends an authentication even without a response.
  ASSERT_EQ(send("00870000047C028100").sw, 0x9000);
  EXPECT_FALSE(authenticated());
}

TEST_F(AdminAuthenticationTest, MutualAuthenticationAndItsRefusals) {
  ASSERT_EQ(sw("0022C1A403830180"), 0x9000);
  const std::string terminalChallenge = "A0A1A2A3A4A5A6A7A8A9AAABACADAEAF";
  // Halves swapped.
  std::string cardChallenge = mutualChallenge(terminalChallenge);
  EXPECT_EQ(sw("008700002C7C2A8228" + mutualResponse(terminalChallenge, cardChallenge)), 0x6982);
  EXPECT_EQ(applet->pins().authenticationStatus[0], GidsPINManager::AUTH_NONE);
  // 32 bytes answer 6982, 48 bytes 6984.
  mutualChallenge(terminalChallenge);
  EXPECT_EQ(sw("00870000247C2282 20" + std::string(64, '0')), 0x6982);
  mutualChallenge(terminalChallenge);
  EXPECT_EQ(sw("00870000347C328230" + std::string(96, '0')), 0x6984);
  EXPECT_EQ(sw("00870100047C028100"), 0x6A86);
  EXPECT_EQ(sw("00870000047D028100"), 0x6984);
  EXPECT_EQ(sw("00870000047C028300"), 0x6984);     // neither 81 nor 82
  EXPECT_EQ(sw("00870000057C0381 0100"), 0x6984);  // a challenge of one byte
  EXPECT_EQ(sw("00870000027C00"), 0x6984);

  cardChallenge = mutualChallenge(terminalChallenge);
  const Response answer = send("008700002C7C2A8228" + mutualResponse(cardChallenge, terminalChallenge) + "00");
  ASSERT_EQ(answer.sw, 0x9000);
  ASSERT_EQ(answer.data.substr(0, 8), "7C2A8228");
  const std::string plain = toHex(tdesCbc(fromHex(kAdminKey), fromHex(answer.data.substr(8)), false));
  EXPECT_EQ(plain.substr(0, 32), terminalChallenge);
  EXPECT_EQ(plain.substr(32, 32), cardChallenge);
  EXPECT_EQ(plain.substr(78), "80");
  EXPECT_EQ(applet->pins().authenticationStatus[0], GidsPINManager::AUTH_MUTUAL_DONE);
}

TEST_F(AdminAuthenticationTest, NoUsableKeyFileIsRefusedWithoutReadingIt) {
  // Without an MSE choosing the administrator key file.
  ASSERT_EQ(send("00870000047C028100").sw, 0x9000);
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);
  // An MSE for signing withdraws the administrator key.
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  ASSERT_EQ(sw(kCreateKeyFile), 0x9000);
  ASSERT_EQ(sw("0044000000"), 0x9000);
  ASSERT_EQ(sw("002281A403830180"), 0x9000);
  ASSERT_EQ(sw("002241B606800157840181"), 0x9000);
  ASSERT_EQ(send("00870000047C028100").sw, 0x9000);
  EXPECT_EQ(sw(kNoChallengeResponse), 0x6985);
}

TEST_F(AdminAuthenticationTest, AdministratorUnblocksABlockedPin) {
  EXPECT_EQ(sw("002C01800431323334"), 0x6A86);
  EXPECT_EQ(sw("002C02810431323334"), 0x6A88);
  EXPECT_EQ(sw("002C02800431323334"), 0x6982);  // not without the administrator
  for (int i = 0; i < 3; ++i) sw("002000800439393939");
  ASSERT_EQ(sw("002000800431323334"), 0x6983);
  ASSERT_EQ(external(kAdminKey), 0x9000);
  EXPECT_EQ(sw("002C0280023131"), 0x6700);  // new PIN too short
  EXPECT_EQ(sw("002C02800435353535"), 0x9000);
  EXPECT_FALSE(authenticated());  // dropped after the reset
  EXPECT_EQ(sw("002C02800435353535"), 0x6982);
  EXPECT_EQ(sw("002000800435353535"), 0x9000);
}

}  // namespace
}  // namespace quillon::test
