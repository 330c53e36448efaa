// quillon-card with the virtual reader in the way, without a pcscd: init refuses
// a directory the reader could not serve before asking for anything, stops with
// a clear message and writes nothing when the smart-card service is missing,
// --no-reader and --blank write their cards, and clear deletes nothing without
// a reader. Clients are pointed at a socket that does not exist, so a pcscd
// running on this machine is never touched.
#include <gtest/gtest.h>

#include "../platform/SysfsTree.h"
#include "CardRun.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kIdentity = "ACME:STICK:1.00:SN0001";
constexpr const char* kSecrets = "2468\n0102030405060708090A0B0C0D0E0F101112131415161718\n";
constexpr const char* kNoService = "The smart-card service (pcscd) is not running.";

class CliReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drive = tree.root() / "media" / "STICK";
    fs::create_directories(drive);
    tree.addUsbStick({});
    tree.mount(8, 17, drive.string());
    plain = tree.root() / "plain";
    fs::create_directories(plain);
  }
  // Runs quillon-card against the fixture tree, with no pcscd to reach.
  CardRun card(const std::string& args, const std::string& input = "") {
    return runCard(args, input,
                   "PCSCLITE_CSOCK_NAME=" + (tree.root() / "no-pcscd.comm").string() + " QUILLON_PROC_ROOT=" +
                       (tree.root() / "proc").string() + " QUILLON_SYS_ROOT=" + tree.sys().string());
  }
  std::string plainTarget() const { return "--dir " + plain.string() + " --identity " + kIdentity; }

  SysfsTree tree;
  fs::path drive, plain;
};

TEST_F(CliReaderTest, InitNeedsAVolumeTheReaderCanServeAndTheService) {
  // Refused before the secrets are read: nothing on standard input is needed.
  CardRun r = card("init " + plainTarget());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("is not the mount point of a volume that the virtual reader can serve"), std::string::npos);
  EXPECT_EQ(r.err.find("PIN"), std::string::npos);
  r = card("init " + drive.string() + " --pin-fd 0 --admin-key-fd 0", kSecrets);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), std::string::npos);
  EXPECT_NE(r.err.find("0x8010001D - The Smart Card Resource Manager is not running."), std::string::npos);
  EXPECT_FALSE(fs::exists(drive / "Quillon2.bin"));

  // The same stick prepared for another computer: its own identity from sysfs.
  r = card("init " + drive.string() + " --no-reader --pin-fd 0 --admin-key-fd 0", kSecrets);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.find("virtual reader"), std::string::npos);
  r = card("apdu --drive " + drive.string(), "00A4040C09A0000003974254465900\n002000800432343638\n");
  EXPECT_EQ(r.out, "9000\n9000\n") << r.err;
}

TEST_F(CliReaderTest, BlankCard) {
  EXPECT_EQ(card("init --blank " + plainTarget() + " --no-reader --pin-fd 0").status, 2);
  EXPECT_EQ(card("init --blank " + plainTarget()).status, 2);  // no volume for the reader
  CardRun r = card("init --blank " + plainTarget() + " --no-reader");
  ASSERT_EQ(r.status, 0) << r.err;
  // Still in its initialisation phase: the administrator key can be set
  // without any authentication, as a personalisation tool does.
  r = card("apdu " + plainTarget(),
           "00A4040C09A0000003974254465900\n"
           "00E000001C621A82011883 02B0808C04870020FFA50BA40980010283018095 01C0\n");
  EXPECT_EQ(r.out, "9000\n9000\n") << r.err;
  EXPECT_EQ(card("init --blank " + plainTarget() + " --no-reader").status, 3);  // a container exists now
  EXPECT_EQ(card("init --blank " + plainTarget() + " --no-reader --yes").status, 0);
  r = card("init --blank " + drive.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), std::string::npos);
  EXPECT_FALSE(fs::exists(drive / "Quillon2.bin"));
}

TEST_F(CliReaderTest, ClearNeedsTheReader) {
  std::ofstream(drive / "Quillon2.bin") << "card";
  CardRun r = card("clear " + drive.string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find(kNoService), std::string::npos);
  EXPECT_TRUE(fs::exists(drive / "Quillon2.bin"));
  EXPECT_EQ(card("clear").status, 2);
  EXPECT_EQ(card("clear --force " + drive.string()).status, 2);
  r = card("clear ''");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("No drive has been selected."), std::string::npos);
  r = card("clear --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: quillon-card clear DRIVE\n", 0), 0u);
}

}  // namespace
}  // namespace quillon::test
