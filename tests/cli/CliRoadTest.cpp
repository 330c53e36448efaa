// The whole road through quillon-card, as a user runs it: init a card in a
// directory standing in for a drive (without the reader), use it with apdu,
// refuse it under another identity, write it out with decrypt; and the input
// checks with their exit codes.
#include <gtest/gtest.h>

#include "CardRun.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kKey = "0102030405060708090A0B0C0D0E0F101112131415161718";

class CliRoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("quillon-road-" + std::to_string(::getpid()) + "-" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string target(const char* identity = kIdentity) { return "--dir " + dir.string() + " --identity " + identity; }
  CardRun init(const std::string& pin, const std::string& extra = "") {
    return runCard("init " + target() + " --no-reader --pin-fd 0 --admin-key-fd 0 " + extra, pin + "\n" + kKey + "\n");
  }
  fs::path dir;
};

TEST_F(CliRoadTest, InitThenUseThenDecrypt) {
  const CardRun created = init("2468", "--serial 00112233445566778899AABBCCDDEEFF");
  ASSERT_EQ(created.status, 0) << created.err;
  EXPECT_NE(created.out.find("serial number 00112233445566778899AABBCCDDEEFF"), std::string::npos);

  const CardRun used = runCard("apdu " + target(),
                               "00A4040C09A0000003974254465900\n"
                               "00200080043234363800\n"
                               "00CBA012045C02DF2000\n");
  EXPECT_EQ(used.out, "9000\n9000\nDF201000112233445566778899AABBCCDDEEFF 9000\n") << used.err;

  // The administrator authenticates with the key given at init, in one session,
  // and resets the PIN; the stored card keeps the new PIN.
  {
    CardProcess card({"apdu", "--dir", dir.string(), "--identity", kIdentity});
    EXPECT_EQ(card.exchange("002281A403830180"), "9000");
    const std::string challenge = card.exchange("00870000047C02810000");
    ASSERT_EQ(challenge.size(), 2u * 12 + 5);
    const Bytes response = tdesCbc(fromHex(kKey), fromHex(challenge.substr(8, 16)), true);
    EXPECT_EQ(card.exchange("008700000C7C0A8208" + toHex(response)), "9000");
    EXPECT_EQ(card.exchange("002C02800431313131"), "9000");
  }
  EXPECT_EQ(runCard("apdu " + target(), "002000800431313131\n").out, "9000\n");

  // Another device's identity opens nothing and changes nothing.
  const auto before = readFileBytes((dir / "Quillon2.bin").string());
  const CardRun stranger = runCard("apdu " + target("ACME:STICK:1.00:SN0002"), "0020008004323436 38\n");
  EXPECT_EQ(stranger.status, 1);
  EXPECT_NE(stranger.err.find("cannot be opened"), std::string::npos);
  EXPECT_EQ(readFileBytes((dir / "Quillon2.bin").string()), before);
  EXPECT_EQ(runCard("decrypt " + target("ACME:STICK:1.00:OTHER")).status, 1);

  const fs::path cwd = fs::current_path();
  fs::current_path(dir);
  const CardRun decrypted = runCard("decrypt " + target());
  fs::current_path(cwd);
  EXPECT_EQ(decrypted.status, 0) << decrypted.err;
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.bin"));
  EXPECT_TRUE(fs::exists(dir / "Quillon.decrypted.xml.txt"));
}

TEST_F(CliRoadTest, InputChecksAndExitCodes) {
  CardRun r = runCard("init " + target() + " --no-reader");  // no terminal, no secrets given
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no PIN"), std::string::npos);
  r = init("12");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("The PIN must be between 4 and 16 digits long."), std::string::npos);
  r = init("7931");  // the default PIN asks; without a terminal the run stops
  EXPECT_EQ(r.status, 3);
  EXPECT_NE(r.err.find("Warning: you should change the default PIN. Continue?"), std::string::npos);
  EXPECT_FALSE(fs::exists(dir / "Quillon2.bin"));
  r = init("1234");
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("note:"), std::string::npos);
  EXPECT_EQ(init("5678").status, 3);  // a container exists now
  r = init("5678901234567890", "--yes");  // the longest PIN works, but OpenSC refuses it
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("take PINs of at most 15 digits"), std::string::npos);
  EXPECT_EQ(runCard("apdu " + target(), "002000801035363738393031323334353637383930\n").out, "9000\n");

  EXPECT_EQ(runCard("init --dir " + dir.string()).status, 2);                         // no identity
  EXPECT_EQ(runCard("init " + dir.string() + " --identity " + kIdentity).status, 2);  // identity without --dir
  EXPECT_EQ(runCard("init " + target() + " --pin 1234").status, 2);                   // no secrets on the line
  EXPECT_EQ(runCard("apdu --dir /nonexistent --identity " + std::string(kIdentity), "00A4000C023FFF\n").status, 1);
  EXPECT_EQ(runCard("list --help").status, 0);
}

}  // namespace
}  // namespace quillon::test
