// A blank card (quillon-card init --blank) personalised by another tool through
// the reader: OpenSC recognises it while it is still blank, gids-tool
// --initialize sets its PIN, administrator key and serial number, and from then on
// it works like a card quillon-card personalised, also after pcscd restarts.
// gids-tool exits 0 even when the card refuses a command, so its messages are
// what the test reads.
#include <filesystem>

#include "CardUserTest.h"

namespace quillon::test {
namespace {

constexpr const char* kBlankAdminKey = "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6";
constexpr const char* kBlankSerial = "0F0E0D0C0B0A09080706050403020100";

class BlankCardTest : public CardUserTest {};

TEST_F(BlankCardTest, GidsToolPersonalisesItAndThenItWorksLikeOurs) {
  ProcessResult r = card({"init", "--blank", world.drive().string(), "--yes"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("A blank GIDS card was created"), std::string::npos) << r.output;
  ASSERT_TRUE(waitForCard(true));
  r = run({"opensc-tool", "-n"});
  EXPECT_NE(r.output.find("GIDS Smart Card"), std::string::npos) << r.output;
  r = run({"pkcs15-tool", "--dump"});
  EXPECT_EQ(r.output.find("Serial number"), std::string::npos) << r.output;

  r = run({"gids-tool", "--initialize", "--pin", "24682468", "--admin-key", kBlankAdminKey, "--serial-number",
           kBlankSerial});
  EXPECT_EQ(r.output.find("failed"), std::string::npos) << r.output;
  EXPECT_EQ(r.output.find("rror"), std::string::npos) << r.output;

  r = run({"pkcs15-tool", "--dump"});
  EXPECT_NE(r.output.find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("PIN [UserPIN]"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("Tries left     : 3"), std::string::npos) << r.output;

  // A second personalisation is refused: the card left its initialisation phase.
  r = run({"gids-tool", "--initialize", "--pin", "1111", "--admin-key", kAdminKey, "--serial-number", kSerial});
  EXPECT_NE(r.output.find("SC_CARDCTL_GIDS_INITIALIZE, *) failed"), std::string::npos) << r.output;

  // Saved in the container: a restarted pcscd serves the personalised card.
  world.restart();
  ASSERT_TRUE(waitForCard(true));
  r = pkcs11({"--login", "--pin", "24682468", "--keypairgen", "--key-type", "rsa:2048", "--label", "blank-key"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  world.writeFile("message", "signed by a card gids-tool personalised\n");
  r = pkcs11({"--login", "--pin", "24682468", "--sign", "--mechanism", "SHA256-RSA-PKCS", "--id", "00", "--input-file",
              file("message").string(), "--output-file", file("signature").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = pkcs11({"--read-object", "--type", "pubkey", "--id", "00", "--output-file", file("pub.der").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = opensslVerify("pub.der", "signature", "message");
  EXPECT_NE(r.output.find("Verified OK"), std::string::npos) << r.output;

  r = run({"gids-tool", "--unblock", "--admin-key", kBlankAdminKey, "--pin", "13571357"});
  EXPECT_NE(r.output.find("Unblock PIN done successfully"), std::string::npos) << r.output;
  EXPECT_EQ(pkcs11({"--login", "--pin", "13571357", "--list-objects"}).exitCode, 0);
}

}  // namespace
}  // namespace quillon::test
