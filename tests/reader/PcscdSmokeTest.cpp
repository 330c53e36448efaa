// The built driver inside a real pcscd, reached by real PC/SC clients: the
// wizard's SWALLOW through libpcsclite, then OpenSC's own tool finds the card
// and selects the GIDS application; the card survives a pcscd restart and goes
// with EJECT.
#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "PcscClient.h"
#include "PcscdFixture.h"
#include "StickWorld.h"
#include "reader/VirtualReader.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReaderName = "Brindleworth Virtual Reader 00 00";

class PcscdSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
    world.createCard();
    PcscdFixture::Options options = PcscdFixture::builtDriver(world.config());
    options.debug = true;
    pcscd = std::make_unique<PcscdFixture>(options);
    pcscd->useInThisProcess();
    ASSERT_NO_THROW(pcscd->start());
  }
  void TearDown() override {
    if (pcscd && HasFailure()) std::cerr << "pcscd log:\n" << pcscd->log() << "\n";
    pcscd.reset();
  }

  ProcessResult openscTool(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"opensc-tool"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, pcscd->environment(), 20s);
  }

  StickWorld world;
  std::unique_ptr<PcscdFixture> pcscd;
};

TEST_F(PcscdSmokeTest, OpenScUsesTheSwallowedCard) {
  PcscClient client;
  ASSERT_EQ(client.establish(), SCARD_S_SUCCESS);
  const std::string name = client.findReader("Brindleworth");
  ASSERT_EQ(name, kReaderName);
  ASSERT_TRUE(client.waitForCard(name, false, 5s));

  // As Format does it: direct connection with no card, EJECT, then SWALLOW.
  ASSERT_EQ(client.connectDirect(name), SCARD_S_SUCCESS);
  ASSERT_EQ(client.control(reader::VirtualReader::kEject, {}), SCARD_S_SUCCESS);
  EXPECT_NE(client.control(reader::VirtualReader::kSwallow, {'/', 0, 'x', 0, 0, 0}), SCARD_S_SUCCESS);
  EXPECT_EQ(client.control(0x00310020, {}), static_cast<LONG>(SCARD_E_UNSUPPORTED_FEATURE));
  ASSERT_EQ(client.control(reader::VirtualReader::kSwallow, StickWorld::swallowInput(world.devicePath())),
            SCARD_S_SUCCESS);
  ASSERT_TRUE(client.waitForCard(name, true, 5s));

  const ProcessResult list = openscTool({"-l"});
  ASSERT_EQ(list.exitCode, 0) << list.output;
  EXPECT_NE(list.output.find("Yes"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find(kReaderName), std::string::npos) << list.output;

  const ProcessResult select = openscTool({"-r", kReaderName, "-s", "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00"});
  ASSERT_EQ(select.exitCode, 0) << select.output;
  EXPECT_NE(select.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << select.output;

  // The ATR is claimed by no other driver: OpenSC's GIDS driver takes the card.
  const ProcessResult driverName = openscTool({"-r", kReaderName, "-n"});
  EXPECT_NE(driverName.output.find("GIDS"), std::string::npos) << driverName.output;

  // pcscd goes and comes back: the reader takes the remembered volume up again.
  client.disconnect();
  pcscd->restart();
  PcscClient again;
  ASSERT_EQ(again.establish(), SCARD_S_SUCCESS);
  ASSERT_EQ(again.findReader("Brindleworth"), kReaderName);
  ASSERT_TRUE(again.waitForCard(kReaderName, true, 5s));
  const ProcessResult reselect = openscTool({"-r", kReaderName, "-s", "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00"});
  EXPECT_NE(reselect.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << reselect.output;

  // EJECT takes the card away at once.
  ASSERT_EQ(again.connectDirect(kReaderName), SCARD_S_SUCCESS);
  ASSERT_EQ(again.control(reader::VirtualReader::kEject, {}), SCARD_S_SUCCESS);
  EXPECT_TRUE(again.waitForCard(kReaderName, false, 2s));
  EXPECT_TRUE(pcscd->running());
}

}  // namespace
}  // namespace quillon::test
