#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "SysfsTree.h"
#include "base/Status.h"
#include "platform/DeviceDetails.h"
#include "support/CapturingSink.h"

namespace quillon::platform {
namespace {

using test::SysfsTree;

// Lines that end with `message` (a substring match would take err=2 for err=223).
std::size_t traced(const test::CapturingSink& sink, const std::string& message) {
  std::size_t n = 0;
  for (const auto& line : sink.lines()) {
    n += line.text.size() >= message.size() &&
         line.text.compare(line.text.size() - message.size(), message.size(), message) == 0;
  }
  return n;
}

class DeviceDetailsTest : public ::testing::Test {
 protected:
  // Reads `mountPoint`, expecting success.
  DeviceDetails read(const std::string& mountPoint) {
    DeviceDetails details;
    std::uint32_t error = 0xDEAD;
    EXPECT_TRUE(GetDeviceDetails(tree.paths(), mountPoint, details, error)) << mountPoint;
    EXPECT_EQ(error, status::ERROR_SUCCESS);
    return details;
  }

  // Reads `mountPoint`, expecting a refusal; returns the error.
  std::uint32_t refuse(const std::string& mountPoint) {
    DeviceDetails details;
    details.vendor = "stale";
    std::uint32_t error = 0;
    EXPECT_FALSE(GetDeviceDetails(tree.paths(), mountPoint, details, error)) << mountPoint;
    EXPECT_TRUE(details.vendor.empty() && details.product.empty() && details.revision.empty() &&
                details.serial.empty() && !details.removable);
    EXPECT_NE(error, status::ERROR_SUCCESS);
    return error;
  }

  SysfsTree tree;
  test::TraceCapture capture;
};

TEST_F(DeviceDetailsTest, BlankPaddedInquiryStringsComeOutTrimmed) {
  tree.addUsbStick({});
  tree.mount(8, 17, "/media/user/ACME");
  const DeviceDetails d = read("/media/user/ACME");
  EXPECT_EQ(d.vendor, "ACME");
  EXPECT_EQ(d.product, "Pocket Drive");
  EXPECT_EQ(d.revision, "1.00");
  EXPECT_EQ(d.serial, "4C5301234567");
  EXPECT_EQ(d.deviceType, 0);
  EXPECT_TRUE(d.removable);
  EXPECT_FALSE(d.readOnly);
  EXPECT_EQ(capture.sink().count("FilePersist::GetDeviceDetails"), 0u);
}

TEST_F(DeviceDetailsTest, MissingAttributesGiveEmptyStrings) {
  SysfsTree::Stick stick;
  stick.serial.reset();
  stick.rev.reset();
  tree.addUsbStick(stick);
  tree.mount(8, 17, "/media/user/ACME");
  const DeviceDetails d = read("/media/user/ACME");
  // The root hub above the stick has a serial number; it must not be taken.
  EXPECT_EQ(d.serial, "");
  EXPECT_EQ(d.revision, "");
  EXPECT_EQ(d.vendor, "ACME");
}

TEST_F(DeviceDetailsTest, ByteOutsidePrintableAsciiCutsTheString) {
  SysfsTree::Stick stick;
  stick.model = "Pocket\177Drive     \n";
  stick.serial = "4C53\00101234567\n";
  stick.vendor = "Acm\xC3\xA9  \n";
  tree.addUsbStick(stick);
  tree.mount(8, 17, "/media/user/ACME");
  const DeviceDetails d = read("/media/user/ACME");
  EXPECT_EQ(d.product, "Pocket");
  EXPECT_EQ(d.serial, "4C53");
  EXPECT_EQ(d.vendor, "Acm");
}

TEST_F(DeviceDetailsTest, RefusedDevicesAreRefusedWithoutATrace) {
  struct Case {
    const char* removable;
    const char* type;
  };
  const Case cases[] = {{"0\n", "0\n"}, {"1\n", "2\n"}, {"1\n", "51\n"}};
  std::uint32_t minor = 16;
  int host = 6;
  for (const Case& c : cases) {
    SysfsTree::Stick stick;
    stick.disk = "sd" + std::string(1, static_cast<char>('b' + host - 6));
    stick.minor = minor;
    stick.scsiHost = host;
    stick.usbPort = "2-" + std::to_string(host);
    stick.removable = c.removable;
    stick.type = c.type;
    tree.addUsbStick(stick);
    const std::string mountPoint = "/media/user/" + stick.disk;
    tree.mount(8, minor + 1, mountPoint);
    EXPECT_EQ(refuse(mountPoint), status::ERROR_NOT_SUPPORTED) << c.removable << c.type;
    minor += 16;
    ++host;
  }
  EXPECT_EQ(capture.sink().count("FilePersist::GetDeviceDetails"), 0u);
}

TEST_F(DeviceDetailsTest, WriteProtectedMediumIsAccepted) {
  SysfsTree::Stick stick;
  stick.ro = "1\n";
  tree.addUsbStick(stick);
  tree.mount(8, 17, "/media/user/ACME");
  EXPECT_TRUE(read("/media/user/ACME").readOnly);

  // A partition set read-only on its own counts as well.
  SysfsTree::Stick other;
  other.disk = "sdc";
  other.minor = 32;
  other.scsiHost = 7;
  other.usbPort = "2-2";
  tree.addUsbStick(other);
  tree.writeSys("devices/pci0000:00/0000:00:14.0/usb2/2-2/2-2:1.0/host7/target7:0:0/7:0:0:0/block/sdc/sdc1/ro", "1\n");
  tree.mount(8, 33, "/media/user/OTHER");
  EXPECT_TRUE(read("/media/user/OTHER").readOnly);
}

TEST_F(DeviceDetailsTest, PartitionAndWholeDiskLeadToTheSameDisk) {
  tree.addUsbStick({});
  SysfsTree::Stick floppy;  // formatted without a partition table
  floppy.disk = "sdc";
  floppy.minor = 32;
  floppy.scsiHost = 7;
  floppy.usbPort = "2-2";
  floppy.partitioned = false;
  floppy.vendor = "Zeta    \n";
  floppy.serial = "ZZ99\n";
  tree.addUsbStick(floppy);
  tree.mount(8, 16, "/media/user/WHOLE");  // the partitioned stick's disk itself
  tree.mount(8, 17, "/media/user/PART");
  tree.mount(8, 32, "/media/user/FLOPPY");
  const DeviceDetails whole = read("/media/user/WHOLE");
  const DeviceDetails part = read("/media/user/PART");
  EXPECT_EQ(part.serial, "4C5301234567");
  EXPECT_EQ(whole.serial, part.serial);
  EXPECT_EQ(whole.vendor, part.vendor);
  const DeviceDetails flop = read("/media/user/FLOPPY");
  EXPECT_EQ(flop.vendor, "Zeta");
  EXPECT_EQ(flop.serial, "ZZ99");
}

TEST_F(DeviceDetailsTest, SameDeviceUnderTwoMountPointsGivesTheSameIdentity) {
  tree.addUsbStick({});
  tree.mount(8, 17, "/media/user/ACME");
  tree.mount(8, 17, "/mnt/stick");
  const DeviceDetails a = read("/media/user/ACME");
  const DeviceDetails b = read("/mnt/stick");
  EXPECT_EQ(a.vendor + ":" + a.product + ":" + a.revision + ":" + a.serial,
            b.vendor + ":" + b.product + ":" + b.revision + ":" + b.serial);
  EXPECT_EQ(a.vendor + ":" + a.product + ":" + a.revision + ":" + a.serial, "ACME:Pocket Drive:1.00:4C5301234567");
}

TEST_F(DeviceDetailsTest, MountPointWithABlankAndAMessyMountTable) {
  tree.addUsbStick({});
  tree.appendMountInfo("garbage line\n99 1 8:17 / /media/user/MY\\040STICK rw shared:1\n\n");
  tree.mount(8, 17, "/media/user/MY\\040STICK");
  tree.appendMountInfo("100 1 8:17 / /media/user/MY\\9STICK rw - vfat /dev/sdb1 rw\n");
  EXPECT_EQ(read("/media/user/MY STICK").vendor, "ACME");
  EXPECT_EQ(read("/media/user/MY STICK/").vendor, "ACME");
  EXPECT_EQ(refuse("/media/user/MY\\040STICK"), status::ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceDetailsTest, PathsThatAreNotMountPointsAreRefused) {
  tree.addUsbStick({});
  tree.mount(8, 17, "/media/user/ACME");
  EXPECT_EQ(refuse("/media/user/NOTHING"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refuse("/media/user/ACME/folder"), status::ERROR_FILE_NOT_FOUND);  // not its mount's
  EXPECT_EQ(refuse("/media/user"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refuse("media/user/ACME"), status::ERROR_INVALID_NAME);
  EXPECT_EQ(refuse(""), status::ERROR_INVALID_NAME);
  EXPECT_EQ(traced(capture.sink(), "GetDeviceDetails: no mounted volume at /media/user/NOTHING err=2"), 1u);
  EXPECT_EQ(refuse("/proc"), status::ERROR_INVALID_FUNCTION);  // mounted, but no block device
  EXPECT_EQ(traced(capture.sink(), "GetDeviceDetails: IOCTL_DISK_IS_WRITABLE err=1"), 1u);

  const SystemPaths nowhere(tree.root() / "no-proc", tree.sys());
  DeviceDetails details;
  std::uint32_t error = 0;
  EXPECT_FALSE(GetDeviceDetails(nowhere, "/media/user/ACME", details, error));
  EXPECT_EQ(error, status::ERROR_FILE_NOT_FOUND);
}

TEST_F(DeviceDetailsTest, BrokenSysfsFailsWithTheQueryItStandsFor) {
  const auto disk = tree.addUsbStick({});
  const auto scsi = disk.parent_path().parent_path();
  tree.mount(8, 17, "/media/user/ACME");

  tree.writeSys(scsi / "type", "zero\n");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_INVALID_DATA);
  EXPECT_EQ(traced(capture.sink(), "GetDeviceDetails: IOCTL_STORAGE_QUERY_PROPERTY err=13"), 1u);
  tree.writeSys(scsi / "type", "256\n");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_INVALID_DATA);
  tree.writeSys(scsi / "type", "0\n");

  tree.writeSys(scsi / "model", std::string(5000, 'M'));  // more than a sysfs page
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_FILE_TOO_LARGE);
  tree.removeSys(scsi / "model");
  ASSERT_EQ(read("/media/user/ACME").product, "");
  // A FIFO where an attribute belongs must not block the read.
  ASSERT_EQ(::mkfifo((tree.sys() / scsi / "model").c_str(), 0600), 0);
  EXPECT_NE(refuse("/media/user/ACME"), status::ERROR_SUCCESS);
  tree.removeSys(scsi / "model");

  tree.removeSys(disk / "ro");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(traced(capture.sink(), "GetDeviceDetails: IOCTL_DISK_IS_WRITABLE err=2"), 1u);
  tree.writeSys(disk / "ro", "0\n");
  tree.removeSys(disk / "removable");
  EXPECT_EQ(refuse("/media/user/ACME"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(traced(capture.sink(), "GetDeviceDetails: IOCTL_STORAGE_QUERY_PROPERTY err=2"), 1u);
}

TEST_F(DeviceDetailsTest, HostileLinksStayInsideTheSysfsRoot) {
  tree.addUsbStick({});
  tree.mount(8, 17, "/media/user/ACME");
  tree.mount(8, 48, "/media/user/ESCAPE");
  tree.mount(8, 49, "/media/user/ABSOLUTE");
  tree.mount(8, 50, "/media/user/LOOP");
  tree.mount(8, 51, "/media/user/GONE");
  // Out of the root to a directory that looks like a block device.
  tree.writeSys("../outside/dev", "8:48\n");
  tree.writeSys("../outside/removable", "1\n");
  tree.writeSys("../outside/ro", "0\n");
  tree.linkSys("dev/block/8:48", "../../../outside");
  tree.linkSys("dev/block/8:49", (tree.root() / "outside").string());
  tree.linkSys("dev/block/8:50", "8:50");
  EXPECT_EQ(refuse("/media/user/ESCAPE"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refuse("/media/user/ABSOLUTE"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(refuse("/media/user/LOOP"), status::ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(refuse("/media/user/GONE"), status::ERROR_FILE_NOT_FOUND);

  // A partition directory whose parent is not a disk.
  tree.writeSys("devices/virtual/odd/sdz9/dev", "8:52\n");
  tree.writeSys("devices/virtual/odd/sdz9/partition", "9\n");
  tree.linkSys("dev/block/8:52", "../../devices/virtual/odd/sdz9");
  tree.mount(8, 52, "/media/user/ORPHAN");
  EXPECT_EQ(refuse("/media/user/ORPHAN"), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(read("/media/user/ACME").vendor, "ACME");
}

}  // namespace
}  // namespace quillon::platform
