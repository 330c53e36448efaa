// The card as OpenSC's tools and PKCS#11 module meet it through the virtual
// reader in a private pcscd: init serves it, OpenSC picks its GIDS driver unasked,
// a second init replaces it, clear takes it away; a blank card is personalised by
// gids-tool; a key pair generated on the card deciphers what openssl encrypted.
#include "CardUserTest.h"

namespace quillon::test {
namespace {

using CardSetupTest = CardUserTest;

TEST_F(CardSetupTest, InitServesACardThatOpenScRecognisesUntilClearTakesItAway) {
  initCard();
  ChildResult r;
  // An application the card does not hold is not found: else any driver would claim it.
  EXPECT_EQ(world.sendApdus({kSelectGids, "00 A4 04 00 06 A0 00 00 00 01 01"}, &r),
            (std::vector<std::string>{"9000", "6A82"}))
      << r.out;
  r = run({"opensc-tool", "-n"});
  EXPECT_NE(r.out.find("GIDS Smart Card"), npos) << r.out;
  std::string opensc = dump();
  for (const char* text : {"PKCS#15 Card [GIDS card]", "Serial number  : 00112233445566778899aabbccddeeff",
                           "PIN [UserPIN]", "Tries left     : 3"})
    EXPECT_NE(opensc.find(text), npos) << text << " in:\n" << opensc;

  // A second init replaces the card; its 16-digit PIN is compared whole by the
  // card, while OpenSC refuses PINs longer than 15 before the card sees them.
  initCard("1234567890123456", kOtherAdminKey, kOtherSerial);
  EXPECT_NE(dump().find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), npos);
  const std::string digits15 = "31 32 33 34 35 36 37 38 39 30 31 32 33 34 35";
  EXPECT_EQ(world.sendApdus({kSelectGids, "00 20 00 80 0F " + digits15, "00 20 00 80 10 " + digits15 + " 36"}),
            (std::vector<std::string>{"9000", "63C2", "9000"}));
  r = pkcs11({"--login", "--pin", "1234567890123456", "--list-objects"});
  EXPECT_NE(r.out.find("CKR_PIN_LEN_RANGE"), npos) << r.out;

  r = card({"clear", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("was ejected from the virtual reader and deleted"), npos) << r.out;
  EXPECT_FALSE(fs::exists(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(false));
}

TEST_F(CardSetupTest, GidsToolPersonalisesABlankCardThatKeepsItAcrossPcscdRestarts) {
  ChildResult r = card({"init", "--blank", world.drive().string(), "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  ASSERT_TRUE(waitForCard(true));
  r = run({"gids-tool", "--initialize", "--pin", "24682468", "--admin-key", kOtherAdminKey, "--serial-number",
           kOtherSerial});
  EXPECT_EQ(r.out.find("failed"), npos) << r.out;  // gids-tool exits 0 even when the card refuses
  world.pcscd().restart();
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), npos);
  EXPECT_EQ(pkcs11({"--login", "--pin", "24682468", "--list-objects"}).exitCode, 0);
}

TEST_F(CardSetupTest, KeyGeneratedOnTheCardDeciphers) {
  initCard();
  ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
  world.writeFile("plain", "the card's secret, sealed by openssl");
  ChildResult r = run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey",
                       file("pub.der").string(), "-in", file("plain").string(), "-out", file("cryptogram").string()});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  r = pkcs11({"--login", "--pin", kPin, "--decrypt", "--mechanism", "RSA-PKCS", "--id", "00", "--input-file",
              file("cryptogram").string(), "--output-file", file("deciphered").string()});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(readFile("deciphered"), "the card's secret, sealed by openssl");
}

}  // namespace
}  // namespace quillon::test
