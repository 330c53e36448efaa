#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "SysfsTree.h"
#include "base/Status.h"
#include "platform/Drives.h"
#include "support/CapturingSink.h"

namespace quillon::platform {
namespace {

using test::SysfsTree;

SysfsTree::Stick stickAt(const std::string& disk, std::uint32_t minor, int host) {
  SysfsTree::Stick stick;
  stick.disk = disk;
  stick.minor = minor;
  stick.scsiHost = host;
  stick.usbPort = "2-" + std::to_string(host);
  return stick;
}

class DrivesTest : public ::testing::Test {
 protected:
  // A machine with a system disk, three sticks, a USB optical drive, a network
  // share and some pseudo file systems, mounted in no particular order.
  DrivesTest() {
    tree.addFixedDisk("sda", 8, 0);
    tree.addUsbStick(stickAt("sdb", 16, 6));
    SysfsTree::Stick locked = stickAt("sdc", 32, 7);
    locked.ro = "1\n";
    tree.addUsbStick(locked);
    tree.addUsbStick(stickAt("sdd", 48, 8));
    SysfsTree::Stick optical = stickAt("sr0", 64, 9);
    optical.type = "5\n";
    optical.partitioned = false;
    tree.addUsbStick(optical);

    tree.mount(8, 49, "/media/user/ZETA");
    tree.mount(8, 1, "/", "ext4");
    tree.mount(8, 1, "/home", "ext4");
    tree.mount(8, 17, "/media/user/MY\\040STICK");
    tree.mount(0, 60, "/mnt/share", "nfs4");
    tree.mount(8, 33, "/media/user/ALPHA");
    tree.mount(8, 33, "/media/user/ALPHA-again");
    tree.mount(8, 33, "/srv/data", "vfat", "/data");  // a directory of a stick, not a volume
    tree.mount(8, 64, "/media/user/DISC", "iso9660");
  }

  std::vector<std::string> list() {
    std::vector<std::string> drives{"stale"};
    std::uint32_t error = 0xDEAD;
    EXPECT_TRUE(listCompatibleDrives(tree.paths(), drives, error));
    EXPECT_EQ(error, status::ERROR_SUCCESS);
    return drives;
  }

  SysfsTree tree;
  test::TraceCapture capture;
};

TEST_F(DrivesTest, ListsWholeRemovableVolumesInByteOrder) {
  const std::vector<std::string> expected{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK",
                                          "/media/user/ZETA"};
  EXPECT_EQ(list(), expected);
  EXPECT_EQ(list(), expected);  // the same again
}

TEST_F(DrivesTest, TracesEachBlockMountAndSkipsTheRest) {
  list();
  auto& sink = capture.sink();
  EXPECT_EQ(sink.count("IsVolumeCompatible: checking /media/user/MY STICK"), 1u);
  EXPECT_EQ(sink.count("IsVolumeCompatible: /media/user/MY STICK is a compatible removable drive"), 1u);
  EXPECT_EQ(sink.count("IsVolumeCompatible: / is not removable (type=3)"), 1u);
  EXPECT_EQ(sink.count("IsVolumeCompatible: /media/user/DISC is not removable (type=5)"), 1u);
  EXPECT_EQ(sink.count("is a compatible removable drive"), 4u);
  EXPECT_EQ(sink.count("IsVolumeCompatible: checking"), 7u);  // no /proc, /sys, /run, NFS, /srv/data
  for (const auto& line : sink.lines()) {
    EXPECT_EQ(line.text.rfind("IsVolumeCompatible(", 0), 0u) << line.text;
    if (line.text.find("checking") != std::string::npos) {
      EXPECT_EQ(line.level, trace::kVerbose);
    }
    if (line.text.find("compatible removable") != std::string::npos) {
      EXPECT_EQ(line.level, trace::kInformation);
    }
  }
}

TEST_F(DrivesTest, AHiddenStickIsNotListed) {
  tree.appendMountInfo("90 40 0:70 / /media/user/ZETA rw - tmpfs tmpfs rw\n");
  const std::vector<std::string> expected{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK"};
  EXPECT_EQ(list(), expected);
}

TEST_F(DrivesTest, DriveTypesFollowTheWindowsNumbers) {
  const SystemPaths paths = tree.paths();
  EXPECT_EQ(driveType(paths, "/media/user/ALPHA"), DRIVE_REMOVABLE);
  EXPECT_EQ(driveType(paths, "/home"), DRIVE_FIXED);
  EXPECT_EQ(driveType(paths, "/mnt/share"), DRIVE_REMOTE);
  EXPECT_EQ(driveType(paths, "/media/user/DISC"), DRIVE_CDROM);
  EXPECT_EQ(driveType(paths, "/run"), DRIVE_RAMDISK);
  EXPECT_EQ(driveType(paths, "/proc"), DRIVE_UNKNOWN);
  EXPECT_EQ(driveType(paths, "/srv/data"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(driveType(paths, "/media/user/ALPHA/sub"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(driveType(paths, "relative"), DRIVE_NO_ROOT_DIR);
}

TEST_F(DrivesTest, IsVolumeCompatibleChecksOneMountPoint) {
  const SystemPaths paths = tree.paths();
  EXPECT_TRUE(isVolumeCompatible(paths, "/media/user/ALPHA/"));
  EXPECT_TRUE(isVolumeCompatible(paths, "/media/user/MY STICK"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/home"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/NOTHING"));
  EXPECT_EQ(capture.sink().count("IsVolumeCompatible: /media/user/NOTHING is not removable (type=1)"), 1u);
  EXPECT_FALSE(isVolumeCompatible(paths, "/srv/data"));

  // A stick whose sysfs entry vanished: the device cannot be read.
  tree.removeSys("dev/block/8:49");
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/ZETA"));
  const std::string failure =
      "IsVolumeCompatible: CreateFile(" + (tree.sys() / "dev/block/8:49").string() + ") failed 0x00000002";
  EXPECT_EQ(capture.sink().count(failure), 1u);
}

TEST_F(DrivesTest, AnUnreadableMountTableIsAnError) {
  const SystemPaths nowhere(tree.root() / "no-proc", tree.sys());
  std::vector<std::string> drives{"stale"};
  std::uint32_t error = 0;
  EXPECT_FALSE(listCompatibleDrives(nowhere, drives, error));
  EXPECT_EQ(error, status::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(drives.empty());
  EXPECT_FALSE(isVolumeCompatible(nowhere, "/media/user/ALPHA"));
  EXPECT_EQ(driveType(nowhere, "/media/user/ALPHA"), DRIVE_UNKNOWN);
}

}  // namespace
}  // namespace quillon::platform
