// A stick pulled and plugged in again comes back under another SCSI host, so
// under another device path: the reader finds its volume again by the stick's
// identity, and only when that identity names one mounted volume.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ReaderFixture.h"
#include "reader/StateFile.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// The default stick, back on another SCSI host.
SysfsTree::Stick onHost(int host) {
  SysfsTree::Stick stick;
  stick.scsiHost = host;
  return stick;
}

class ReplugTest : public ReaderFixture {
 protected:
  reader::RememberedVolume remembered() const {
    reader::RememberedVolume volume;
    EXPECT_EQ(reader::StateFile(world.statePath().string()).load(volume), 0);
    return volume;
  }

  // The card answers and is a fresh one: the PIN verified before is not.
  void expectFreshCard() {
    powerUpAndSelect();
    EXPECT_EQ(sw("0020008000"), 0x63C3);
  }
};

TEST_F(ReplugTest, TheSameStickOnANewHostIsFollowedAtOnceWithoutSwallow) {
  serveCard();
  ASSERT_EQ(sw("002000800431323334"), 0x9000);
  const std::string before = world.devicePath();

  EXPECT_LT(waitAcross([&] { world.replug(onHost(7)); }), 2s);
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(reader->powered());
  EXPECT_FALSE(reader->present());  // plugged in, not mounted yet
  EXPECT_EQ(reader->volume(), before);

  EXPECT_LT(waitAcross([&] { world.remountAt(world.tree().root() / "media" / "alice" / "STICK1"); }), 2s);
  EXPECT_TRUE(reader->present());
  EXPECT_NE(reader->volume(), before);
  EXPECT_EQ(reader->volume(), world.devicePath());
  expectFreshCard();
  // The new path is remembered, with the identity that found it.
  const reader::RememberedVolume state = remembered();
  EXPECT_EQ(state.devicePath, world.devicePath());
  ASSERT_TRUE(state.identity);
  EXPECT_EQ(state.identity->serial, "4C5301234567");
  EXPECT_EQ(state.identity->partition, 1u);
}

TEST_F(ReplugTest, AnOldStateFileIsTakenUpGainsTheIdentityAndFindsTheStickAgain) {
  world.createCard();
  fs::create_directories(world.statePath().parent_path());
  std::ofstream(world.statePath(), std::ios::binary) << "quillon-reader-state 1\nvolume=" << world.devicePath() << "\n";
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
  ASSERT_TRUE(reader->present());
  ASSERT_TRUE(remembered().identity);

  // Pulled and mounted again between two polls: the card still leaves once.
  world.replug(onHost(7));
  world.setMounts(world.mountDir());
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
  EXPECT_EQ(reader->volume(), world.devicePath());
  expectFreshCard();

  // Plugged in again and mounted elsewhere while pcscd was away: the state file finds it.
  world.replug(onHost(8));
  world.remountAt(world.tree().root() / "media" / "alice" / "STICK1");
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(reader->present());
  expectFreshCard();
  EXPECT_EQ(remembered().devicePath, world.devicePath());
}

TEST_F(ReplugTest, AnotherStickOfTheModelOrAnotherVolumeIsNotTaken) {
  serveCard();
  const std::string before = world.devicePath();
  SysfsTree::Stick other = onHost(7);
  other.serial = "4C5309999999\n";
  world.replug(other);
  world.setMounts(world.mountDir());  // with a container on it
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), before);

  // The same stick with its disk mounted whole is another volume of it.
  world.replug(onHost(8));
  world.setMounts({}, "40 26 8:16 / " + world.mountDir().string() + " rw shared:40 - vfat /dev/sdb rw\n");
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), before);
  openReader();
  EXPECT_TRUE(reader->volume().empty());

  world.setMounts(world.mountDir());
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
}

TEST_F(ReplugTest, TwoMountedSticksWithOneIdentityAreAmbiguous) {
  serveCard();
  const std::string before = world.devicePath();
  world.tree().addUsbStick(SysfsTree::stickAt("sdc", 32, 8));  // the same identity strings
  const fs::path twinDir = world.tree().root() / "media" / "TWIN";
  fs::create_directories(twinDir);
  fs::copy_file(world.containerPath(), twinDir / "Quillon2.bin");
  const std::string twinMount = "41 26 8:33 / " + twinDir.string() + " rw shared:41 - vfat /dev/sdc1 rw\n";
  // Our stick still plugged in, unmounted: the twin is not taken for it.
  world.setMounts({}, twinMount);
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), before);

  world.replug(onHost(7));
  world.setMounts(world.mountDir(), twinMount);
  TraceCapture capture;
  for (int poll = 0; poll < 3; ++poll) EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), before);
  EXPECT_EQ(capture.sink().count("is not followed"), 1u);
  openReader();
  EXPECT_TRUE(reader->volume().empty());

  // The twin unmounted, one volume carries the identity, however often mounted.
  world.setMounts(world.mountDir(), "41 26 8:17 / " + twinDir.string() + " rw shared:41 - vfat /dev/sdb1 rw\n");
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(reader->present());
}

TEST_F(ReplugTest, AStickWithoutASerialIsNotFollowed) {
  world.tree().removeSys("devices/pci0000:00/0000:00:14.0/usb2/2-1/serial");
  serveCard();
  ASSERT_TRUE(remembered().identity);
  EXPECT_TRUE(remembered().identity->serial.empty());
  const std::string before = world.devicePath();
  SysfsTree::Stick again = onHost(7);
  again.serial.reset();
  world.replug(again);
  world.setMounts(world.mountDir());
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(reader->volume(), before);
  openReader();
  EXPECT_TRUE(reader->volume().empty());
}

}  // namespace
}  // namespace quillon::test
