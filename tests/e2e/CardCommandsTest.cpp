// quillon-card's commands on a card served by the virtual reader in a private
// pcscd, checked against what OpenSC's tools then see: insert and eject, info,
// change-pin, unblock-pin and change-admin-key.
#include <string>
#include <vector>

#include "CardUserTest.h"

namespace quillon::test {
namespace {

constexpr const char* kNewPin = "24682468";
// The second stick: sdc, mounted beside the first.
constexpr const char* kOtherMount = "41 26 8:33 / %s rw,nosuid,nodev,relatime shared:41 - vfat /dev/sdc1 rw\n";

class CardCommandsTest : public CardUserTest {
 protected:
  ChildResult login(const std::string& pin) { return pkcs11({"--login", "--pin", pin, "--list-objects"}); }
  fs::path plugSecondStick() {
    SysfsTree::Stick other = SysfsTree::stickAt("sdc", 32, 7);
    other.serial = "4F5448455231\n";
    world.stick().tree().addUsbStick(other);
    const fs::path dir = world.stick().tree().root() / "media" / "OTHER";
    fs::create_directories(dir);
    char line[512];
    std::snprintf(line, sizeof line, kOtherMount, dir.c_str());
    world.stick().setMounts(world.drive(), line);
    return dir;
  }
  void prepareWithoutReader(const fs::path& drive, const char* serial) {
    const ChildResult r = cardWith({"init", drive.string(), "--no-reader", "--serial", serial, "--yes"},
                                   {{"--pin-file", kPin}, {"--admin-key-file", kAdminKey}});
    ASSERT_EQ(r.exitCode, 0) << r.out;
  }
};

TEST_F(CardCommandsTest, InsertServesAStickPreparedElsewhereAndEjectLetsGo) {
  ASSERT_NO_FATAL_FAILURE(prepareWithoutReader(world.drive(), kSerial));
  ASSERT_TRUE(waitForCard(false));
  EXPECT_EQ(card({"info"}).exitCode, 6);
  const fs::path other = plugSecondStick();
  ChildResult r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 2) << r.out;
  EXPECT_NE(r.out.find("There is no card on " + other.string()), npos) << r.out;
  fs::copy_file(world.stick().containerPath(), other / "Quillon2.bin");  // sealed for the first stick
  r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 2) << r.out;
  EXPECT_NE(r.out.find("does not open with this stick's identity"), npos) << r.out;

  r = card({"insert", world.drive().string()});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 00112233445566778899aabbccddeeff"), npos);
  // While the reader serves the first stick, the second one's card is refused.
  fs::remove(other / "Quillon2.bin");
  prepareWithoutReader(other, kOtherSerial);
  r = card({"insert", other.string()});
  EXPECT_EQ(r.exitCode, 3) << r.out;
  EXPECT_NE(r.out.find("mounted at " + world.drive().string()), npos) << r.out;

  r = card({"eject"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_TRUE(waitForCard(false));
  EXPECT_TRUE(fs::is_regular_file(world.stick().containerPath()));
  EXPECT_EQ(card({"insert", other.string()}).exitCode, 0);
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 0f0e0d0c0b0a09080706050403020100"), npos);

  // Both ejected now: neither comes back when pcscd restarts. The first stick
  // mounted anew (the second pulled out) is served as plugged in.
  ASSERT_EQ(card({"eject"}).exitCode, 0);
  ASSERT_TRUE(waitForCard(false));
  world.pcscd().restart();
  EXPECT_FALSE(world.awaitCard(true, nullptr, std::chrono::milliseconds(1500)));
  world.stick().mountAnew();
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Serial number  : 00112233445566778899aabbccddeeff"), npos);
}

TEST_F(CardCommandsTest, InfoReportsWhatOpenScReports) {
  initCard();
  ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
  EXPECT_NE(login("9999").exitCode, 0);  // one try gone
  EXPECT_NE(dump().find("Tries left     : 2"), npos);
  const ChildResult r = card({"info", "--json"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  for (const std::string& text :
       std::vector<std::string>{"\"reader\": \"" + std::string(CardWorld::kReaderName) + "\"", "\"cardPresent\": true",
                                "\"serial\": \"" + std::string(kSerial) + "\"", "\"pinTriesLeft\": 2",
                                "\"pinBlocked\": false", "\"keyExchangeBits\": 2048"})
    EXPECT_NE(r.out.find(text), npos) << text << " in:\n" << r.out;
}

TEST_F(CardCommandsTest, PinAndAdministratorKeyChangeWhatOpenScAccepts) {
  initCard();
  ChildResult r = cardWith({"change-pin"}, {{"--pin-file", "9999"}, {"--new-pin-file", kNewPin}});
  EXPECT_EQ(r.exitCode, 4) << r.out;
  EXPECT_NE(r.out.find("2 tries left"), npos) << r.out;
  r = cardWith({"change-pin", "--drive", world.drive().string()}, {{"--pin-file", kPin}, {"--new-pin-file", kNewPin}});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(login(kPin).exitCode, 0);
  EXPECT_EQ(login(kNewPin).exitCode, 0);

  for (int attempt = 0; attempt < 3; ++attempt) EXPECT_NE(login("9999").exitCode, 0);
  // The counter lives in the container: still blocked after pcscd restarts.
  world.pcscd().restart();
  ASSERT_TRUE(waitForCard(true));
  EXPECT_NE(dump().find("Tries left     : 0"), npos);
  r = cardWith({"unblock-pin"}, {{"--admin-key-file", kOtherAdminKey}, {"--new-pin-file", "13571357"}});
  EXPECT_EQ(r.exitCode, 4) << r.out;
  r = cardWith({"unblock-pin"}, {{"--admin-key-file", kAdminKey}, {"--new-pin-file", "13571357"}});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(login("13571357").exitCode, 0);

  r = cardWith({"change-admin-key"}, {{"--admin-key-file", kAdminKey}, {"--new-admin-key-file", kOtherAdminKey}});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  // gids-tool exits 0 when the card refuses: its messages tell.
  r = run({"gids-tool", "--unblock", "--admin-key", kAdminKey, "--pin", kPin});
  EXPECT_EQ(r.out.find("Unblock PIN done successfully"), npos) << r.out;
  r = run({"gids-tool", "--unblock", "--admin-key", kOtherAdminKey, "--pin", kPin});
  EXPECT_NE(r.out.find("Unblock PIN done successfully"), npos) << r.out;
  EXPECT_EQ(login(kPin).exitCode, 0);
}

}  // namespace
}  // namespace quillon::test
