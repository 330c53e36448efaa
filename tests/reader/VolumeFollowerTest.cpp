// Following the volume apart from the card: what SWALLOW, a re-plug and EJECT
// leave in memory and in the state file, as a new follower (a new channel) sees it.
#include <gtest/gtest.h>

#include "reader/VolumeFollower.h"
#include "support/StickWorld.h"

namespace quillon::test {
namespace {

using reader::VolumeFollower;

TEST(VolumeFollowerTest, SwallowReplugAndEjectAreRememberedAcrossChannels) {
  StickWorld world;
  world.createCard();
  const auto open = [&] { return VolumeFollower(world.paths(), world.statePath().string()); };
  VolumeFollower follower = open();
  EXPECT_EQ(follower.volume(), world.devicePath());  // mounted before the channel opened: taken
  EXPECT_EQ(follower.swallow(platform::encodeDevicePath(world.devicePath())), VolumeFollower::Taken::kSameVolume);
  EXPECT_EQ(follower.swallow(platform::encodeDevicePath("/sys/x")), VolumeFollower::Taken::kRefused);

  SysfsTree::Stick stick;
  stick.scsiHost = 7;
  const std::string before = world.devicePath();
  world.replug(stick);
  world.setMounts(world.mountDir());
  bool moved = false;
  const reader::VolumeView view = follower.look(moved);
  EXPECT_TRUE(moved);
  EXPECT_NE(world.devicePath(), before);
  EXPECT_EQ(follower.volume(), world.devicePath());
  EXPECT_EQ(view.mountPoint, world.mountDir().string());
  EXPECT_TRUE(view.container);
  follower.look(moved);
  EXPECT_FALSE(moved);
  EXPECT_EQ(open().volume(), world.devicePath());

  bool had = false;
  EXPECT_EQ(follower.eject(had), 0);
  EXPECT_TRUE(had);
  EXPECT_TRUE(follower.volume().empty());
  EXPECT_TRUE(open().volume().empty());  // ejected, still mounted: stays out
  EXPECT_EQ(follower.swallow(platform::encodeDevicePath(world.devicePath())), VolumeFollower::Taken::kNewVolume);
  EXPECT_EQ(open().volume(), world.devicePath());
}

}  // namespace
}  // namespace quillon::test
