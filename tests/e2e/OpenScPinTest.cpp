// The PIN as OpenSC's users meet it: three wrong PINs block it, and it stays
// blocked when pcscd restarts (the counter lives in the container, not in the
// reader); gids-tool unblocks it with the administrator key and nothing else;
// PKCS#11 changes it. OpenSC takes PINs of at most 15 digits, where quillon-card
// makes cards with PINs of up to 16: the test shows both sides of that.
#include "CardUserTest.h"

namespace quillon::test {
namespace {

class OpenScPinTest : public CardUserTest {
 protected:
  ProcessResult login(const std::string& pin) { return pkcs11({"--login", "--pin", pin, "--list-objects"}); }
  std::string triesLeft() {
    const ProcessResult dump = run({"pkcs15-tool", "--dump"});
    const std::size_t at = dump.output.find("Tries left     : ");
    return at == std::string::npos ? dump.output : dump.output.substr(at + 17, 1);
  }
};

constexpr const char* kOtherAdminKey = "0102030405060708090A0B0C0D0E0F10111213141516FFFF";

TEST_F(OpenScPinTest, ThreeWrongPinsBlockItAcrossARestartUntilTheAdministratorUnblocksIt) {
  initCard();
  for (int attempt = 1; attempt <= 2; ++attempt) {
    const ProcessResult r = login("9999");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.output.find("CKR_PIN_INCORRECT"), std::string::npos) << r.output;
  }
  EXPECT_EQ(triesLeft(), "1");
  EXPECT_NE(login("9999").exitCode, 0);
  EXPECT_EQ(triesLeft(), "0");
  ProcessResult r = login(kPin);
  EXPECT_NE(r.output.find("CKR_PIN_LOCKED"), std::string::npos) << r.output;

  world.restart();
  ASSERT_TRUE(waitForCard(true));
  r = login(kPin);
  EXPECT_NE(r.output.find("CKR_PIN_LOCKED"), std::string::npos) << r.output;
  EXPECT_EQ(triesLeft(), "0");

  // gids-tool exits 0 whatever the card answers: its messages tell.
  r = run({"gids-tool", "--unblock", "--admin-key", kOtherAdminKey, "--pin", "5678"});
  EXPECT_NE(r.output.find("SC_CARDCTL_GIDS_AUTHENTICATE_ADMIN, *) failed"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("Unblock PIN done successfully"), std::string::npos) << r.output;
  EXPECT_EQ(triesLeft(), "0");

  r = run({"gids-tool", "--unblock", "--admin-key", kAdminKey, "--pin", "5678"});
  EXPECT_NE(r.output.find("Administrator authentication successful"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Unblock PIN done successfully"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("failed"), std::string::npos) << r.output;
  EXPECT_EQ(triesLeft(), "3");
  EXPECT_EQ(login("5678").exitCode, 0);
  EXPECT_NE(login(kPin).exitCode, 0);
}

TEST_F(OpenScPinTest, Pkcs11ChangesThePin) {
  initCard();
  ProcessResult r = pkcs11({"--login", "--pin", kPin, "--change-pin", "--new-pin", "86428642"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("PIN successfully changed"), std::string::npos) << r.output;
  EXPECT_NE(login(kPin).exitCode, 0);
  EXPECT_EQ(login("86428642").exitCode, 0);
  EXPECT_EQ(triesLeft(), "3");
}

TEST_F(OpenScPinTest, OpenScTakesPinsOfUpTo15DigitsOfThe16ACardMayHave) {
  initCard("1234567890123456");
  // The card compares all 16 digits...
  const std::string verify15 = "00 20 00 80 0F 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35";
  const std::string verify16 = "00 20 00 80 10 31 32 33 34 35 36 37 38 39 30 31 32 33 34 35 36";
  EXPECT_EQ(sendApdus({kSelectGidsApdu, verify15, verify16}), (std::vector<std::string>{"9000", "63C2", "9000"}));
  // ...but OpenSC's GIDS emulation declares 15 as the longest PIN and refuses
  // longer ones before the card sees them.
  const ProcessResult r = login("1234567890123456");
  EXPECT_NE(r.output.find("CKR_PIN_LEN_RANGE"), std::string::npos) << r.output;

  initCard("123456789012345");
  EXPECT_EQ(login("123456789012345").exitCode, 0);
}

}  // namespace
}  // namespace quillon::test
