// The card as OpenSC's users meet it: quillon-card, OpenSC's tools (opensc-tool,
// pkcs15-tool, gids-tool, pkcs11-tool with OpenSC's PKCS#11 module) and the openssl
// command, with the virtual reader in a private pcscd (CardWorld). Every test
// skips, saying why, where a private pcscd cannot run or a tool is missing.
//
// Setup: quillon-card init writes the card and the reader serves it at once;
// OpenSC selects the GIDS application, picks its GIDS driver without being told
// to, and reads the serial number and the PIN through its PKCS#15 emulation. A
// second init replaces the card; clear ejects it and deletes the container. A
// blank card (init --blank) is personalised by gids-tool --initialize and then
// works like ours, also after pcscd restarts. gids-tool exits 0 even when the card
// refuses a command, so its messages are what the tests read.
//
// OpenSC takes PINs of at most 15 digits, where quillon-card makes cards with PINs
// of up to 16: the second init shows both sides (blocking and unblocking the PIN
// are with the commands' tests, certificates with the clients').
//
// PKCS#11, as a browser or ssh uses it: the token is listed, the PIN logs in, an
// RSA-2048 key pair is generated on the card, its signatures verify with openssl,
// also when several programs sign at once, and it deciphers what openssl
// encrypted for its public key.
#include <cstring>
#include <thread>

#include "CardUserTest.h"
#include "base/Hex.h"

namespace quillon::test {
namespace {

constexpr const char* kSecret = "the card's secret, sealed by openssl";

class CardSetupTest : public CardUserTest {};

TEST_F(CardSetupTest, InitServesACardThatOpenScRecognisesUntilClearTakesItAway) {
  initCard();  // opensc-tool -l shows the reader with the card
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  ProcessResult r;
  EXPECT_EQ(sendApdus({kSelectGidsApdu}, &r), std::vector<std::string>{"9000"}) << r.output;
  // The application's FCI: its AID, and its discretionary data.
  EXPECT_EQ(lastReceivedData(r.output), "61124F0BA00000039742544659020173034001C0");
  // An application the card does not hold is not found: a card that took every
  // SELECT would be claimed by the first driver that asks.
  EXPECT_EQ(sendApdus({"00 A4 04 00 06 A0 00 00 00 01 01"}), std::vector<std::string>{"6A82"});

  r = run({"opensc-tool", "-n"});  // the driver chosen by what the card answers, not forced with -c
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("GIDS Smart Card"), npos) << r.output;
  r = run({"pkcs15-tool", "--dump"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const char* text : {"PKCS#15 Card [GIDS card]", "Serial number  : 00112233445566778899aabbccddeeff",
                           "PIN [UserPIN]", "Reference      : 128 (0x80)", "Tries left     : 3"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;

  // A second init replaces the card, here with a PIN of 16 digits. The card
  // compares all 16, but OpenSC's GIDS emulation declares 15 as the longest PIN
  // and refuses longer ones before the card sees them.
  initCard("1234567890123456", kOtherAdminKey, kOtherSerial);
  r = run({"pkcs15-tool", "--dump"});
  EXPECT_NE(r.output.find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), npos) << r.output;
  const std::string digits15 = "31 32 33 34 35 36 37 38 39 30 31 32 33 34 35";
  EXPECT_EQ(sendApdus({kSelectGidsApdu, "00 20 00 80 0F " + digits15, "00 20 00 80 10 " + digits15 + " 36"}),
            (std::vector<std::string>{"9000", "63C2", "9000"}));
  r = pkcs11({"--login", "--pin", "1234567890123456", "--list-objects"});
  EXPECT_NE(r.output.find("CKR_PIN_LEN_RANGE"), npos) << r.output;

  r = card({"clear", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("was ejected from the virtual reader and deleted"), npos) << r.output;
  EXPECT_FALSE(fs::exists(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(false));
  r = pkcs11({"--list-token-slots"});
  EXPECT_EQ(r.output.find("token label"), npos) << r.output;
  // The reader has nothing left to eject, and there is no card to delete.
  r = card({"clear", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("there was no card on"), npos) << r.output;
}

TEST_F(CardSetupTest, GidsToolPersonalisesABlankCardThatThenWorksLikeOurs) {
  ProcessResult r = card({"init", "--blank", world.drive().string(), "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("A blank GIDS card was created"), npos) << r.output;
  ASSERT_TRUE(waitForCard(true));
  r = run({"opensc-tool", "-n"});
  EXPECT_NE(r.output.find("GIDS Smart Card"), npos) << r.output;
  r = run({"pkcs15-tool", "--dump"});
  EXPECT_EQ(r.output.find("Serial number"), npos) << r.output;

  r = run({"gids-tool", "--initialize", "--pin", "24682468", "--admin-key", kOtherAdminKey, "--serial-number",
           kOtherSerial});
  EXPECT_EQ(r.output.find("failed"), npos) << r.output;
  EXPECT_EQ(r.output.find("rror"), npos) << r.output;
  r = run({"pkcs15-tool", "--dump"});
  for (const char* text : {"Serial number  : 0f0e0d0c0b0a09080706050403020100", "PIN [UserPIN]", "Tries left     : 3"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;
  // A second personalisation is refused: the card left its initialisation phase.
  r = run({"gids-tool", "--initialize", "--pin", "1111", "--admin-key", kAdminKey, "--serial-number", kSerial});
  EXPECT_NE(r.output.find("SC_CARDCTL_GIDS_INITIALIZE, *) failed"), npos) << r.output;

  // Saved in the container: a restarted pcscd serves the personalised card.
  world.pcscd().restart();
  ASSERT_TRUE(waitForCard(true));
  ASSERT_NO_FATAL_FAILURE(generateKey("24682468"));
  world.writeFile("message", "signed by a card gids-tool personalised\n");
  EXPECT_EQ(signAndVerify("24682468", "message", "signature"), "");
  r = run({"gids-tool", "--unblock", "--admin-key", kOtherAdminKey, "--pin", "13571357"});
  EXPECT_NE(r.output.find("Unblock PIN done successfully"), npos) << r.output;
  EXPECT_EQ(pkcs11({"--login", "--pin", "13571357", "--list-objects"}).exitCode, 0);
}

class Pkcs11Test : public CardUserTest {
 protected:
  // Encrypts kSecret for the public key in pub.der with openssl; the cryptogram.
  std::string encryptForCard(const std::string& padding) {
    world.writeFile("plain", kSecret);
    const ProcessResult r =
        run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey", file("pub.der").string(), "-in",
             file("plain").string(), "-out", file("cryptogram").string(), "-pkeyopt", "rsa_padding_mode:" + padding});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readFile("cryptogram");
  }
};

TEST_F(Pkcs11Test, KeyPairSignaturesAndDeciphering) {
  initCard();
  ProcessResult r = pkcs11({"--list-token-slots"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (const char* text :
       {CardWorld::kReaderName, "token label        : GIDS card", "login required, token initialized, PIN initialized",
        "serial num         : 8899aabbccddeeff"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;
  r = pkcs11({"--login", "--pin", kPin, "--list-objects"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
  r = run({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", file("pub.der").string(), "-noout", "-text"});
  EXPECT_NE(r.output.find("Public-Key: (2048 bit)"), npos) << r.output;

  // Signing: the module hashes, the card pads and signs.
  world.writeFile("message", "a message signed on a card on a stick\n");
  world.writeFile("forged", "a message signed on a card on a stick!\n");
  EXPECT_EQ(signAndVerify(kPin, "message", "signature"), "");
  EXPECT_EQ(readFile("signature").size(), 256u);
  EXPECT_NE(opensslVerify("signature", "forged").exitCode, 0);
  // Programs signing at once each get their own valid signatures.
  constexpr int kPrograms = 3;
  std::string failures[kPrograms];
  {
    std::vector<std::jthread> programs;
    for (int p = 0; p < kPrograms; ++p) {
      const std::string n = std::to_string(p);
      world.writeFile("message" + n, "message of program " + n + "\n");
      programs.emplace_back([this, n, &failure = failures[p]] {
        for (int round = 0; round < 3; ++round)
          failure += signAndVerify(kPin, "message" + n, "signature" + n + "-" + std::to_string(round));
      });
    }
  }
  for (int p = 0; p < kPrograms; ++p) EXPECT_EQ(failures[p], "") << "program " << p;

  // Deciphering with PKCS #1 v1.5 padding.
  encryptForCard("pkcs1");
  r = pkcs11({"--login", "--pin", kPin, "--decrypt", "--mechanism", "RSA-PKCS", "--id", "00", "--input-file",
              file("cryptogram").string(), "--output-file", file("deciphered").string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(readFile("deciphered"), kSecret);
  // OAEP (SHA-1, openssl's default), which OpenSC's GIDS driver does not offer: the commands themselves.
  const std::string cryptogram = encryptForCard("oaep");
  ASSERT_EQ(cryptogram.size(), 256u);
  const std::string all = hex::encode(std::vector<std::uint8_t>(cryptogram.begin(), cryptogram.end()));
  const std::vector<std::string> sws =
      sendApdus({kSelectGidsApdu, "00 20 00 80 04 31 32 33 34", "00 22 41 B8 06 80 01 87 84 01 81",
                 "10 2A 80 86 FF " + all.substr(0, 510), "00 2A 80 86 01 " + all.substr(510) + " 00"},
                &r);
  EXPECT_EQ(sws, (std::vector<std::string>{"9000", "9000", "9000", "9000", "9000"})) << r.output;
  EXPECT_EQ(lastReceivedData(r.output),
            hex::encode(std::vector<std::uint8_t>(kSecret, kSecret + std::strlen(kSecret))));
}

}  // namespace
}  // namespace quillon::test
