// A stick plugged in while the private pcscd runs, with the built driver: its
// card appears to PC/SC clients without SWALLOW; a card written to the volume
// mounted all along does not; after EJECT the card stays out across a pcscd
// restart until the stick is mounted anew. (A test process of its own: the
// process's libpcsclite talks to one pcscd socket only.)
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "PcscClient.h"
#include "PcscdFixture.h"
#include "StickWorld.h"
#include "personalise/ReaderConnection.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

TEST(PlugInE2eTest, APluggedInCardAppearsToClientsUntilEjected) {
  if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
  StickWorld world;
  PcscdFixture pcscd(PcscdFixture::builtDriver(world.config()));
  pcscd.useInThisProcess();
  ASSERT_NO_THROW(pcscd.start());
  ASSERT_TRUE(waitForCard(false, 5s));

  // As quillon-card init --no-reader leaves it: no card for the reader yet.
  world.createCard();
  EXPECT_FALSE(waitForCard(true, 1500ms)) << pcscd.log();

  world.unmount();
  std::this_thread::sleep_for(600ms);  // pcscd's reader looks every 250 ms
  world.mountAnew();
  ASSERT_TRUE(waitForCard(true, 3s)) << pcscd.log();
  const ProcessResult select =
      runProcess({"opensc-tool", "-r", kReaderName, "-s", "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00"},
                 pcscd.environment(), 20s);
  EXPECT_NE(select.output.find("SW1=0x90, SW2=0x00"), std::string::npos) << select.output;
  {
    DirectConnection direct;
    ASSERT_EQ(direct.rc, SCARD_S_SUCCESS);
    std::vector<std::uint8_t> answer;
    ASSERT_EQ(direct.getVolume(65536, answer), SCARD_S_SUCCESS);
    EXPECT_EQ(answer, StickWorld::swallowInput(world.devicePath()));
    ASSERT_EQ(SCardControl(direct.card, ReaderConnection::kEject, nullptr, 0, nullptr, 0, nullptr), SCARD_S_SUCCESS);
  }
  ASSERT_TRUE(waitForCard(false, 2s));

  // pcscd goes and comes back (it exits when idle): the ejected stick stays out.
  pcscd.restart();
  EXPECT_FALSE(waitForCard(true, 1500ms)) << pcscd.log();
  // Plugged in again: served.
  world.mountAnew();
  EXPECT_TRUE(waitForCard(true, 3s)) << pcscd.log();
  EXPECT_TRUE(pcscd.running());
}

}  // namespace
}  // namespace quillon::test
