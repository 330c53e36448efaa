// The built driver inside a real pcscd, reached by real PC/SC clients: the card
// of a stick mounted before pcscd started is served, EJECT lets it go, the
// wizard's SWALLOW through its own connection on libpcsclite takes it back, GET
// VOLUME answers it, then OpenSC's own tool finds the card and selects the GIDS
// application; the card survives a pcscd restart and goes with EJECT.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <vector>

#include "ChildProcess.h"
#include "PcscClient.h"
#include "PcscdFixture.h"
#include "StickWorld.h"
#include "personalise/ReaderConnection.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

// A direct connection to the reader with no card, as Format makes it.
void connect(ReaderConnection& reader) {
  ASSERT_EQ(reader.establishContext(), 0u);
  ASSERT_EQ(reader.listReaders(), 0u);
  ASSERT_STREQ(reader.findVirtualReader(), kReaderName);
  ASSERT_EQ(reader.connect(kReaderName), 0u);
}

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
  void expectGidsSelected() {
    const ProcessResult select = openscTool({"-r", kReaderName, "-s", "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00"});
    EXPECT_EQ(select.exitCode, 0) << select.output;
    EXPECT_NE(select.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << select.output;
  }

  StickWorld world;
  std::unique_ptr<PcscdFixture> pcscd;
};

TEST_F(PcscdSmokeTest, OpenScUsesTheSwallowedCard) {
  // The stick was mounted before pcscd started: its card is served unasked.
  ASSERT_TRUE(waitForCard(true, 5s));
  {
    ReaderConnection reader(systemPcsc());
    ASSERT_NO_FATAL_FAILURE(connect(reader));
    ASSERT_EQ(reader.control(ReaderConnection::kEject), 0u);
    ASSERT_TRUE(waitForCard(false, 2s));
    const std::uint8_t notAVolume[] = {'/', 0, 'x', 0, 0, 0};
    EXPECT_NE(reader.control(ReaderConnection::kSwallow, notAVolume, sizeof notAVolume), 0u);
    EXPECT_EQ(reader.control(0x00310020), static_cast<std::uint32_t>(SCARD_E_UNSUPPORTED_FEATURE));
    const std::vector<std::uint8_t> volume = StickWorld::swallowInput(world.devicePath());
    ASSERT_EQ(reader.control(ReaderConnection::kSwallow, volume.data(), volume.size()), 0u);
    ASSERT_TRUE(waitForCard(true, 5s));

    // GET VOLUME answers what SWALLOW took, through pcscd's own buffers; a
    // client buffer too small for it gets none of it.
    DirectConnection direct;
    ASSERT_EQ(direct.rc, SCARD_S_SUCCESS);
    std::vector<std::uint8_t> answer;
    ASSERT_EQ(direct.getVolume(volume.size(), answer), SCARD_S_SUCCESS);
    EXPECT_EQ(answer, volume);
    EXPECT_EQ(direct.getVolume(volume.size() - 2, answer), SCARD_E_INSUFFICIENT_BUFFER);
  }

  const ProcessResult list = openscTool({"-l"});
  ASSERT_EQ(list.exitCode, 0) << list.output;
  EXPECT_NE(list.output.find("Yes"), std::string::npos) << list.output;
  EXPECT_NE(list.output.find(kReaderName), std::string::npos) << list.output;
  expectGidsSelected();
  // The ATR is claimed by no other driver: OpenSC's GIDS driver takes the card.
  const ProcessResult driverName = openscTool({"-r", kReaderName, "-n"});
  EXPECT_NE(driverName.output.find("GIDS"), std::string::npos) << driverName.output;

  // pcscd goes and comes back: the reader takes the remembered volume up again.
  pcscd->restart();
  ASSERT_TRUE(waitForCard(true, 5s));
  expectGidsSelected();

  // EJECT takes the card away at once.
  ReaderConnection reader(systemPcsc());
  ASSERT_NO_FATAL_FAILURE(connect(reader));
  ASSERT_EQ(reader.control(ReaderConnection::kEject), 0u);
  EXPECT_TRUE(waitForCard(false, 2s));
  DirectConnection direct;
  std::vector<std::uint8_t> answer;
  EXPECT_EQ(direct.getVolume(1024, answer), SCARD_S_SUCCESS);
  EXPECT_TRUE(answer.empty());
  EXPECT_TRUE(pcscd->running());
}

}  // namespace
}  // namespace quillon::test
