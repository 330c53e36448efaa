// Presence follows the world, and the polling wait tells of each change at once.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <thread>

#include "ReaderFixture.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class PresenceTest : public ReaderFixture {
 protected:
  // Runs the polling wait on its own thread, as pcscd does.
  std::future<Clock::duration> waitInBackground(std::chrono::milliseconds timeout) {
    return std::async(std::launch::async, [this, timeout] {
      const auto start = Clock::now();
      reader->waitForChange(timeout);
      return Clock::now() - start;
    });
  }
};

TEST_F(PresenceTest, UnmountAndDeletionMakeTheCardAbsent) {
  serveCard();
  world.unmount();
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(reader->powered());
  EXPECT_EQ(send(*reader, kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  world.setMounts(world.mountDir());  // mounted again, same place
  EXPECT_TRUE(reader->present());
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);

  ASSERT_TRUE(fs::remove(world.containerPath()));
  // The powered card notices on its next command, before the next poll.
  EXPECT_EQ(send(*reader, kSelectGids).rc, IFD_ICC_NOT_PRESENT);
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
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);
  ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  const std::vector<std::uint8_t> before = world.containerBytes();
  EXPECT_EQ(sw(*reader, "002000800431313131"), 0x63C2);
  EXPECT_NE(world.containerBytes(), before);  // stored at the new place
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, AReplacedContainerIsANewCard) {
  serveCard();
  const std::vector<std::uint8_t> first = world.containerBytes();
  const fs::path copy = world.tree().root() / "first.bin";
  fs::copy_file(world.containerPath(), copy);
  ASSERT_EQ(sw(*reader, "002000800431313131"), 0x63C2);

  // Someone puts the older file back.
  fs::rename(copy, world.containerPath());
  EXPECT_EQ(send(*reader, "0020008000").rc, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(world.containerBytes(), first);  // the stale card did not write over it
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
  ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);
  ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  EXPECT_EQ(sw(*reader, "0020008000"), 0x63C3);
}

TEST_F(PresenceTest, AContainerReplacedWhileUnpoweredIsAlsoReported) {
  serveCard();
  reader->powerDown();
  EXPECT_TRUE(reader->present());
  const fs::path copy = world.tree().root() / "copy.bin";
  fs::copy_file(world.containerPath(), copy);
  fs::rename(copy, world.containerPath());
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, TheWaitReturnsAtOnceForEjectAndSwallow) {
  serveCard();
  ASSERT_TRUE(reader->present());
  auto waiting = waitInBackground(10s);
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(reader->eject());
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_LT(waiting.get(), 1s);
  EXPECT_FALSE(reader->present());

  waiting = waitInBackground(10s);
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(swallowStick());
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_LT(waiting.get(), 1s);
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, TheWaitSeesTheWorldChangeAndTimesOutOtherwise) {
  serveCard();
  ASSERT_TRUE(reader->present());
  auto idle = waitInBackground(300ms);
  ASSERT_EQ(idle.wait_for(5s), std::future_status::ready);
  EXPECT_GE(idle.get(), 300ms);

  auto waiting = waitInBackground(20s);
  std::this_thread::sleep_for(50ms);
  ASSERT_TRUE(fs::remove(world.containerPath()));
  // The container gives no signal: found on the next look, a quarter second on.
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_LT(waiting.get(), 2s);
  EXPECT_FALSE(reader->present());

  waiting = waitInBackground(20s);
  std::this_thread::sleep_for(50ms);
  world.createCard();
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(reader->present());
}

TEST_F(PresenceTest, AFailedLoadWakesTheWaitToShowTheCardGone) {
  const DeviceIdentity other{"OTHER", "X", "1", "2"};
  world.createCard(&other);
  ASSERT_TRUE(swallowStick());
  ASSERT_TRUE(reader->present());  // a container is there; pcscd powers it up next
  auto waiting = waitInBackground(20s);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(powerUp(*reader), IFD_ERROR_POWER_ACTION);
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_LT(waiting.get(), 1s);
  EXPECT_FALSE(reader->present());
}

TEST_F(PresenceTest, StoppingEndsOneWaitOnly) {
  // pcscd stops the wait at every disconnect to wait again with another timeout:
  // the next wait must sleep, or its polling thread spins.
  auto waiting = waitInBackground(20s);
  std::this_thread::sleep_for(50ms);
  reader->stopWaiting();
  ASSERT_EQ(waiting.wait_for(5s), std::future_status::ready);
  EXPECT_LT(waiting.get(), 1s);
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
  EXPECT_GE(Clock::now() - start, 300ms);  // it slept instead of returning at once
}

}  // namespace
}  // namespace quillon::test
