// The compatible drives of a machine described by a fixture tree: whole removable
// volumes in a stable order, and the drive types of everything else.
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
constexpr auto stickAt = &SysfsTree::stickAt;

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
};

TEST_F(DrivesTest, ListsWholeRemovableVolumesInByteOrder) {
  test::TraceCapture capture;
  EXPECT_EQ(list(), (std::vector<std::string>{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK",
                                              "/media/user/ZETA"}));
  EXPECT_EQ(capture.sink().count("IsVolumeCompatible: /media/user/DISC is not removable (type=5)"), 1u);
  EXPECT_EQ(capture.sink().count("IsVolumeCompatible: checking"), 7u);  // no /proc, /sys, /run, NFS, /srv/data
  // A stick hidden under another mount is not listed.
  tree.appendMountInfo("90 40 0:70 / /media/user/ZETA rw - tmpfs tmpfs rw\n");
  EXPECT_EQ(list(), (std::vector<std::string>{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK"}));
}

TEST_F(DrivesTest, DriveTypesAndSingleVolumes) {
  const SystemPaths paths = tree.paths();
  EXPECT_EQ(driveType(paths, "/media/user/ALPHA"), DRIVE_REMOVABLE);
  EXPECT_EQ(driveType(paths, "/home"), DRIVE_FIXED);
  EXPECT_EQ(driveType(paths, "/mnt/share"), DRIVE_REMOTE);
  EXPECT_EQ(driveType(paths, "/media/user/DISC"), DRIVE_CDROM);
  EXPECT_EQ(driveType(paths, "/run"), DRIVE_RAMDISK);
  EXPECT_EQ(driveType(paths, "/proc"), DRIVE_UNKNOWN);
  EXPECT_EQ(driveType(paths, "/srv/data"), DRIVE_NO_ROOT_DIR);
  EXPECT_EQ(driveType(paths, "/media/user/ALPHA/sub"), DRIVE_NO_ROOT_DIR);
  EXPECT_TRUE(isVolumeCompatible(paths, "/media/user/ALPHA/"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/home"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/NOTHING"));
  tree.removeSys("dev/block/8:49");  // a stick whose sysfs entry vanished
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/ZETA"));

  const SystemPaths nowhere(tree.root() / "no-proc", tree.sys());
  std::vector<std::string> drives{"stale"};
  std::uint32_t error = 0;
  EXPECT_FALSE(listCompatibleDrives(nowhere, drives, error));
  EXPECT_EQ(error, status::ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(drives.empty());
}

}  // namespace
}  // namespace quillon::platform
