// A card made and taken away as a user does it: quillon-card init writes the card
// and the reader serves it at once; OpenSC lists the reader with the card, selects
// the GIDS application, picks its GIDS driver for the card without being told to,
// and reads the serial number and the PIN through its PKCS#15 emulation. A second
// init replaces the card; quillon-card clear ejects it and deletes the container.
#include <filesystem>

#include "CardUserTest.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

class CardSetupTest : public CardUserTest {};

TEST_F(CardSetupTest, InitServesACardThatOpenScRecognises) {
  initCard();
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));

  const ProcessResult list = run({"opensc-tool", "-l"});
  ASSERT_EQ(list.exitCode, 0) << list.output;
  EXPECT_NE(list.output.find(CardWorld::kReaderName), std::string::npos) << list.output;

  ProcessResult select;
  EXPECT_EQ(sendApdus({kSelectGidsApdu}, &select), std::vector<std::string>{"9000"}) << select.output;
  // The application's FCI: its AID, and its discretionary data.
  EXPECT_EQ(lastReceivedData(select.output), "61124F0BA00000039742544659020173034001C0");
  // An application the card does not hold is not found: a card that took every
  // SELECT would be claimed by the first driver that asks.
  EXPECT_EQ(sendApdus({"00 A4 04 00 06 A0 00 00 00 01 01"}), std::vector<std::string>{"6A82"});

  // The driver is chosen by what the card answers, not forced with -c.
  const ProcessResult driver = run({"opensc-tool", "-n"});
  EXPECT_EQ(driver.exitCode, 0) << driver.output;
  EXPECT_NE(driver.output.find("GIDS Smart Card"), std::string::npos) << driver.output;

  const ProcessResult dump = run({"pkcs15-tool", "--dump"});
  ASSERT_EQ(dump.exitCode, 0) << dump.output;
  EXPECT_NE(dump.output.find("PKCS#15 Card [GIDS card]"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("Serial number  : 00112233445566778899aabbccddeeff"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("PIN [UserPIN]"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("Reference      : 128 (0x80)"), std::string::npos) << dump.output;
  EXPECT_NE(dump.output.find("Tries left     : 3"), std::string::npos) << dump.output;
}

TEST_F(CardSetupTest, ASecondInitReplacesTheServedCard) {
  initCard();
  initCard("24682468", "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6", "0F0E0D0C0B0A09080706050403020100");
  const ProcessResult dump = run({"pkcs15-tool", "--dump"});
  EXPECT_NE(dump.output.find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), std::string::npos) << dump.output;
  EXPECT_EQ(pkcs11({"--login", "--pin", "24682468", "--list-objects"}).exitCode, 0);
}

TEST_F(CardSetupTest, ClearEjectsTheCardAndDeletesTheContainer) {
  initCard();
  ProcessResult r = card({"clear", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("was ejected from the virtual reader and deleted"), std::string::npos) << r.output;
  EXPECT_FALSE(fs::exists(world.stick().containerPath()));
  EXPECT_TRUE(waitForCard(false));
  const ProcessResult tokens = pkcs11({"--list-token-slots"});
  EXPECT_EQ(tokens.output.find("token label"), std::string::npos) << tokens.output;

  // The reader has nothing left to eject, and there is no card to delete.
  r = card({"clear", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("there was no card on"), std::string::npos) << r.output;
}

}  // namespace
}  // namespace quillon::test
