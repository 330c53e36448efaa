// The built driver inside a real pcscd (SWALLOW, OpenSC and restarts are the e2e
// tests'): a stick plugged in while pcscd runs, and an EJECT that outlives a restart.
#include <PCSC/winscard.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "personalise/ReaderConnection.h"
#include "support/PcscdFixture.h"
#include "support/StickWorld.h"

namespace quillon::test {
namespace {

using namespace std::chrono_literals;

constexpr const char* kReaderName = "Brindleworth Virtual Reader 00 00";

// Waits up to `timeout` until the reader shows a card (or shows none).
bool waitForCard(bool present, std::chrono::milliseconds timeout) {
  SCARDCONTEXT context = 0;
  if (SCardEstablishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context) != SCARD_S_SUCCESS) return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  SCARD_READERSTATE state{};
  state.szReader = kReaderName;
  state.dwCurrentState = SCARD_STATE_UNAWARE;
  bool seen = false;
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() < 0 || SCardGetStatusChange(context, static_cast<DWORD>(left.count()), &state, 1) != 0) break;
    if ((seen = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present)) break;
    state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
  }
  SCardReleaseContext(context);
  return seen;
}

class PcscdSmokeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
    pcscd = std::make_unique<PcscdFixture>(PcscdFixture::builtDriver(world.config()));
    pcscd->useInThisProcess();
  }
  void TearDown() override {
    if (pcscd && HasFailure()) std::cerr << "pcscd log:\n" << pcscd->log() << "\n";
  }
  void eject() {
    ReaderConnection reader(systemPcsc());
    ASSERT_EQ(reader.establishContext(), 0u);
    ASSERT_EQ(reader.connect(kReaderName), 0u);  // direct, as Format connects
    ASSERT_EQ(reader.control(ReaderConnection::kEject), 0u);
    ASSERT_TRUE(waitForCard(false, 2s));
  }

  StickWorld world;
  std::unique_ptr<PcscdFixture> pcscd;
};

TEST_F(PcscdSmokeTest, APlugInIsServedAndAnEjectOutlivesARestart) {
  ASSERT_NO_THROW(pcscd->start());
  ASSERT_TRUE(waitForCard(false, 5s));
  world.createCard();  // as init --no-reader leaves it: no card for the reader yet
  EXPECT_FALSE(waitForCard(true, 1500ms));
  world.unmount();
  std::this_thread::sleep_for(600ms);  // pcscd's reader looks every 250 ms
  world.mountAnew();
  ASSERT_TRUE(waitForCard(true, 3s));
  eject();
  pcscd->restart();
  EXPECT_FALSE(waitForCard(true, 1500ms));
  world.mountAnew();
  EXPECT_TRUE(waitForCard(true, 3s));
}

}  // namespace
}  // namespace quillon::test
