// Device identity from fixture sysfs trees (strings, refused devices, hostile trees),
// and a machine's compatible drives and drive types.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <vector>

#include "base/Status.h"
#include "platform/DescriptorString.h"
#include "platform/DeviceDetails.h"
#include "platform/Drives.h"
#include "support/CapturingSink.h"
#include "support/SysfsTree.h"

namespace quillon::platform {
namespace {

using test::SysfsTree;
constexpr auto stickAt = &SysfsTree::stickAt;

class DeviceDetailsTest : public ::testing::Test {
 protected:
  // Reads `mountPoint`, expecting success: "vendor:product:revision:serial", then the flags.
  std::string identity(const std::string& mountPoint) {
    DeviceDetails d;
    std::uint32_t error = 0xDEAD;
    EXPECT_TRUE(GetDeviceDetails(tree.paths(), mountPoint, d, error)) << mountPoint;
    EXPECT_EQ(error, status::ERROR_SUCCESS);
    return d.vendor + ":" + d.product + ":" + d.revision + ":" + d.serial + (d.removable ? " removable" : "") +
           (d.readOnly ? " ro" : "");
  }
  // Reads `mountPoint`, expecting a refusal with nothing left in the details; returns the error.
  std::uint32_t refuse(const std::string& mountPoint) {
    DeviceDetails details;
    details.vendor = "stale";
    std::uint32_t error = 0;
    EXPECT_FALSE(GetDeviceDetails(tree.paths(), mountPoint, details, error)) << mountPoint;
    EXPECT_TRUE(details.vendor.empty() && details.serial.empty() && !details.removable);
    EXPECT_NE(error, status::ERROR_SUCCESS);
    return error;
  }
  SysfsTree tree;
};

TEST_F(DeviceDetailsTest, IdentityStringsComeOutAsTheStorageDescriptorGivesThem) {
  tree.addUsbStick({});  // blank-padded INQUIRY strings
  // Its partition at two places, and the partitioned stick's disk itself.
  for (const auto& [minor, at] : {std::pair{17, "/media/user/ACME"}, {17, "/mnt/stick"}, {16, "/media/user/WHOLE"}}) {
    tree.mount(8, minor, at);
    EXPECT_EQ(identity(at), "ACME:Pocket Drive:1.00:4C5301234567 removable");
  }

  SysfsTree::Stick odd = stickAt("sdc", 32, 7);  // no partition table, no serial, odd bytes
  odd.partitioned = false;
  odd.serial.reset();  // the root hub above has one; it must not be taken
  odd.rev.reset();
  odd.model = "Pocket\177Drive     \n";
  odd.vendor = "Acm\xC3\xA9  \n";
  odd.ro = "1\n";
  tree.addUsbStick(odd);
  tree.mount(8, 32, "/media/user/ODD");
  EXPECT_EQ(identity("/media/user/ODD"), "Acm:Pocket:: removable ro");
}

TEST_F(DeviceDetailsTest, RefusedDevicesAndPaths) {
  test::TraceCapture capture;
  const std::pair<const char*, const char*> kinds[] = {{"0\n", "0\n"}, {"1\n", "2\n"}, {"1\n", "51\n"}};
  int host = 6;
  for (const auto& [removable, type] : kinds) {  // not removable, or not a disk
    SysfsTree::Stick stick = stickAt("sd" + std::string(1, static_cast<char>('b' + host - 6)), 16 * (host - 5), host);
    stick.removable = removable;
    stick.type = type;
    tree.addUsbStick(stick);
    tree.mount(8, stick.minor + 1, "/media/user/" + stick.disk);
    EXPECT_EQ(refuse("/media/user/" + stick.disk), status::ERROR_NOT_SUPPORTED) << removable << type;
    ++host;
  }
  EXPECT_EQ(capture.sink().lines().size(), 0u);  // refused without a trace

  EXPECT_EQ(refuse("/media/user/NOTHING"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refuse(""), status::ERROR_INVALID_NAME);
  EXPECT_EQ(capture.sink().count("GetDeviceDetails: no mounted volume at /media/user/NOTHING err=2"), 1u);
}

TEST_F(DeviceDetailsTest, BrokenAndHostileSysfsFailsWithTheQueryItStandsFor) {
  const auto disk = tree.addUsbStick({});
  const auto scsi = disk.parent_path().parent_path();
  tree.mount(8, 17, "/media/user/ACME");
  tree.writeSys(scsi / "type", "256\n");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_INVALID_DATA);
  tree.writeSys(scsi / "type", "0\n");
  tree.writeSys(scsi / "model", std::string(5000, 'M'));  // more than a sysfs page
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_FILE_TOO_LARGE);
  tree.removeSys(scsi / "model");
  ASSERT_EQ(::mkfifo((tree.sys() / scsi / "model").c_str(), 0600), 0);  // must not block the read
  EXPECT_NE(refuse("/media/user/ACME"), status::ERROR_SUCCESS);
  tree.removeSys(scsi / "model");
  EXPECT_EQ(identity("/media/user/ACME"), "ACME::1.00:4C5301234567 removable");
  tree.removeSys(disk / "ro");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_FILE_NOT_FOUND);
  tree.writeSys(disk / "ro", "0\n");
  // Hostile links stay inside the sysfs root: out of the root to a directory that looks like a block device, absolute
  // or relative, and a loop.
  tree.writeSys("../outside/dev", "8:48\n");
  tree.writeSys("../outside/removable", "1\n");
  tree.writeSys("../outside/ro", "0\n");
  tree.linkSys("dev/block/8:48", "../../../outside");
  tree.linkSys("dev/block/8:49", (tree.root() / "outside").string());
  tree.linkSys("dev/block/8:50", "8:50");
  // A partition directory whose parent is not a disk.
  tree.writeSys("devices/virtual/odd/sdz9/dev", "8:52\n");
  tree.writeSys("devices/virtual/odd/sdz9/partition", "9\n");
  tree.linkSys("dev/block/8:52", "../../devices/virtual/odd/sdz9");
  const std::pair<std::uint32_t, std::uint32_t> cases[] = {{48, status::ERROR_FILE_NOT_FOUND},
                                                           {49, status::ERROR_FILE_NOT_FOUND},
                                                           {50, status::ERROR_CANT_RESOLVE_FILENAME},
                                                           {51, status::ERROR_FILE_NOT_FOUND},  // no link at all
                                                           {52, status::ERROR_FILE_NOT_FOUND}};
  for (const auto& [minor, error] : cases) {
    tree.mount(8, minor, "/media/user/M" + std::to_string(minor));
    EXPECT_EQ(refuse("/media/user/M" + std::to_string(minor)), error) << minor;
  }
  EXPECT_EQ(identity("/media/user/ACME"), "ACME::1.00:4C5301234567 removable");  // no model since above
}

// The storage descriptor's copy rule: stop at a byte outside 0x20-0x7E, drop
// trailing blanks, keep at most 259 characters.
TEST(DescriptorString, CopiesAsTheStorageDescriptorDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"  Pocket  Drive  \n", "  Pocket  Drive"},
      {"        \n", ""},
      {std::string("AB\0CD", 5), "AB"},
      {"AB\177CD", "AB"},
      {"Acm\xC3\xA9 Disk", "Acm"},
      {"~ !", "~ !"},
      {"ACME  \tX", "ACME"},
      {std::string(400, 'Q'), std::string(259, 'Q')},
      {std::string(250, 'Q') + std::string(20, ' ') + "Z", std::string(250, 'Q')}};  // blanks ending the window
  for (const auto& [in, out] : cases) EXPECT_EQ(copyDescriptorString(in), out) << in;
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
};

TEST_F(DrivesTest, ListsWholeRemovableVolumesInByteOrder) {
  test::TraceCapture capture;
  EXPECT_EQ(list(), (std::vector<std::string>{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK",
                                              "/media/user/ZETA"}));
  EXPECT_EQ(capture.sink().count("IsVolumeCompatible: /media/user/DISC is not removable (type=5)"), 1u);
  // A stick hidden under another mount is not listed.
  tree.appendMountInfo("90 40 0:70 / /media/user/ZETA rw - tmpfs tmpfs rw\n");
  EXPECT_EQ(list(), (std::vector<std::string>{"/media/user/ALPHA", "/media/user/ALPHA-again", "/media/user/MY STICK"}));
}

TEST_F(DrivesTest, SingleVolumes) {
  const SystemPaths paths = tree.paths();
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/ALPHA/sub"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/mnt/share"));
  EXPECT_TRUE(isVolumeCompatible(paths, "/media/user/ALPHA/"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/home"));
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/NOTHING"));
  tree.removeSys("dev/block/8:49");  // a stick whose sysfs entry vanished
  EXPECT_FALSE(isVolumeCompatible(paths, "/media/user/ZETA"));
  std::vector<std::string> drives{"stale"};
  std::uint32_t error = 0;
  EXPECT_FALSE(listCompatibleDrives({tree.root() / "no-proc", tree.sys()}, drives, error));  // no mountinfo
  EXPECT_EQ(error, status::ERROR_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace quillon::platform
