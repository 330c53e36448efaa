// Presence follows the world, and the polling wait tells of each change at once.
#include <gtest/gtest.h>

#include <filesystem>

#include "ReaderFixture.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class PresenceTest : public ReaderFixture {};

TEST_F(PresenceTest, UnmountAndDeletionMakeTheCardAbsent) {
  serveCard();
  world.unmount();
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(send(kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  world.setMounts(world.mountDir());  // mounted again, same place
  EXPECT_TRUE(reader->present());
  ASSERT_EQ(powerUp(), IFD_SUCCESS);

  ASSERT_TRUE(fs::remove(world.containerPath()));
  // The powered card notices on its next command, before the next poll.
  EXPECT_EQ(send(kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(fs::exists(world.containerPath()));  // nothing was written back
}

TEST_F(PresenceTest, TheCardFollowsItsVolumeToANewMountPoint) {
  serveCard();
  const std::string device = world.devicePath();
  world.remountAt(world.tree().root() / "media" / "alice" / "STICK1");
  EXPECT_EQ(reader->volume(), device);
  EXPECT_FALSE(reader->present());  // the card went away with the old mount point
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  const Bytes before = world.containerBytes();
  EXPECT_EQ(sw("002000800431313131"), 0x63C2);
  EXPECT_NE(world.containerBytes(), before);  // stored at the new place
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, AReplacedContainerIsANewCardPoweredOrNot) {
  serveCard();
  const Bytes first = world.containerBytes();
  const fs::path copy = world.tree().root() / "first.bin";
  fs::copy_file(world.containerPath(), copy);
  ASSERT_EQ(sw("002000800431313131"), 0x63C2);

  // Someone puts the older file back.
  fs::rename(copy, world.containerPath());
  EXPECT_EQ(send("0020008000").rc, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(world.containerBytes(), first);  // the stale card did not write over it
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(sw("0020008000"), 0x63C3);

  reader->powerDown();
  EXPECT_TRUE(reader->present());
  fs::copy_file(world.containerPath(), copy);
  fs::rename(copy, world.containerPath());
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, TheWaitEndsAtOnceForEachChangeAndTimesOutOtherwise) {
  serveCard();
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(reader->eject()); }, 10s), 1s);
  EXPECT_FALSE(reader->present());
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(swallowStick()); }, 10s), 1s);
  EXPECT_TRUE(reader->present());
  ASSERT_EQ(powerUp(), IFD_SUCCESS);

  EXPECT_GE(waitAcross([] {}, 300ms), 300ms);
  // The container gives no signal: found on the next look, a quarter second on.
  EXPECT_LT(waitAcross([&] { ASSERT_TRUE(fs::remove(world.containerPath())); }), 2s);
  EXPECT_FALSE(reader->present());
  waitAcross([&] { world.createCard(); });
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, AFailedLoadWakesTheWaitToShowTheCardGone) {
  const DeviceIdentity other{"OTHER", "X", "1", "2"};
  world.createCard(&other);
  ASSERT_TRUE(swallowStick());
  ASSERT_TRUE(reader->present());  // a container is there; pcscd powers it up next
  EXPECT_LT(waitAcross([&] { EXPECT_EQ(powerUp(), IFD_ERROR_POWER_ACTION); }), 1s);
  EXPECT_FALSE(reader->present());
}

TEST_F(PresenceTest, StoppingEndsOneWaitOnly) {
  // pcscd stops the wait at every disconnect to wait again with another timeout:
  // the next wait must sleep, or its polling thread spins.
  EXPECT_LT(waitAcross([&] { reader->stopWaiting(); }), 1s);
  auto start = Clock::now();
  reader->waitForChange(400ms);
  EXPECT_GE(Clock::now() - start, 300ms);  // it slept instead of returning at once

  // A stop asked for between two waits ends the next one (pcscd shutting the
  // reader down while its thread looks at presence), and only that one.
  reader->stopWaiting();
  start = Clock::now();
  reader->waitForChange(20s);
  EXPECT_LT(Clock::now() - start, 1s);
  start = Clock::now();
  reader->waitForChange(400ms);
  EXPECT_GE(Clock::now() - start, 300ms);
}

}  // namespace
}  // namespace quillon::test
