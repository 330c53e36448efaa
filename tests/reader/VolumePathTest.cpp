// The device path of a volume, its way back to the mount point, and its wire form.
#include <gtest/gtest.h>

#include "StickWorld.h"
#include "base/Status.h"
#include "platform/VolumePath.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using platform::decodeDevicePath;
using platform::encodeDevicePath;
using platform::findVolumeMount;
using platform::volumeDevicePath;

TEST(VolumePathTest, PathOfAMountedPartitionLeadsBackToItsMountPoint) {
  StickWorld world;
  std::string path;
  ASSERT_EQ(volumeDevicePath(world.paths(), world.mountDir().string() + "/", path), 0u);
  const fs::path expected = fs::canonical(world.tree().sys() /
                                          "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/"
                                          "host6/target6:0:0/6:0:0:0/block/sdb/sdb1");
  EXPECT_EQ(path, expected.string());

  std::string mountPoint;
  EXPECT_EQ(findVolumeMount(world.paths(), path, mountPoint), 0u);
  EXPECT_EQ(mountPoint, world.mountDir().string());
  // The /sys/dev/block link names the same device.
  EXPECT_EQ(findVolumeMount(world.paths(), (world.tree().sys() / "dev/block/8:17").string(), mountPoint), 0u);
  EXPECT_EQ(mountPoint, world.mountDir().string());
}

TEST(VolumePathTest, WholeDiskMountAndMountsThatAreNoVolume) {
  StickWorld world;
  SysfsTree::Stick whole;
  whole.disk = "sdc";
  whole.minor = 32;
  whole.usbPort = "2-2";
  whole.scsiHost = 7;
  whole.partitioned = false;
  world.tree().addUsbStick(whole);
  const fs::path wholeDir = world.tree().root() / "media" / "WHOLE";
  const fs::path subDir = world.tree().root() / "media" / "SUB";
  world.setMounts(world.mountDir(), "41 26 8:32 / " + wholeDir.string() +
                                        " rw shared:41 - vfat /dev/sdc rw\n"
                                        "42 26 8:17 /folder " +
                                        subDir.string() +
                                        " rw shared:42 - vfat /dev/sdb1 rw\n"
                                        "43 26 0:23 / /run/user rw shared:43 - tmpfs tmpfs rw\n");
  std::string path;
  ASSERT_EQ(volumeDevicePath(world.paths(), wholeDir.string(), path), 0u);
  EXPECT_TRUE(path.ends_with("/block/sdc")) << path;
  std::string mountPoint;
  EXPECT_EQ(findVolumeMount(world.paths(), path, mountPoint), 0u);
  EXPECT_EQ(mountPoint, wholeDir.string());

  EXPECT_EQ(volumeDevicePath(world.paths(), subDir.string(), path), status::ERROR_NOT_SUPPORTED);
  EXPECT_EQ(volumeDevicePath(world.paths(), "/run/user", path), status::ERROR_INVALID_FUNCTION);
  EXPECT_EQ(volumeDevicePath(world.paths(), (world.tree().root() / "media").string(), path),
            status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(volumeDevicePath(world.paths(), "media/STICK", path), status::ERROR_INVALID_NAME);
  EXPECT_TRUE(path.empty());
}

TEST(VolumePathTest, PartitionNumberOfAMountedVolume) {
  StickWorld world;
  SysfsTree::Stick whole;
  whole.disk = "sdc";
  whole.minor = 32;
  whole.usbPort = "2-2";
  whole.scsiHost = 7;
  whole.partitioned = false;
  world.tree().addUsbStick(whole);
  const fs::path wholeDir = world.tree().root() / "media" / "WHOLE";
  world.setMounts(world.mountDir(), "41 26 8:32 / " + wholeDir.string() + " rw shared:41 - vfat /dev/sdc rw\n");
  std::uint32_t partition = 99;
  ASSERT_EQ(platform::volumePartition(world.paths(), world.mountDir().string(), partition), 0u);
  EXPECT_EQ(partition, 1u);
  ASSERT_EQ(platform::volumePartition(world.paths(), wholeDir.string(), partition), 0u);
  EXPECT_EQ(partition, 0u);

  const fs::path attribute = fs::relative(world.devicePath(), world.tree().sys()) / "partition";
  for (const char* bad : {"0\n", "x\n", "", "-1\n", "9999999999\n"}) {
    world.tree().writeSys(attribute, bad);
    partition = 99;
    EXPECT_EQ(platform::volumePartition(world.paths(), world.mountDir().string(), partition),
              status::ERROR_INVALID_DATA)
        << bad;
    EXPECT_EQ(partition, 0u);
  }
  world.tree().writeSys(attribute, "3\n");
  ASSERT_EQ(platform::volumePartition(world.paths(), world.mountDir().string(), partition), 0u);
  EXPECT_EQ(partition, 3u);
  world.unmount();
  EXPECT_EQ(platform::volumePartition(world.paths(), world.mountDir().string(), partition),
            status::ERROR_FILE_NOT_FOUND);
}

TEST(VolumePathTest, OnlyARegisteredBlockDeviceInsideSysfsIsMapped) {
  StickWorld world;
  const std::string device = world.devicePath();
  std::string mountPoint;
  // The disk holding the partition is a block device, but it is not mounted.
  EXPECT_EQ(findVolumeMount(world.paths(), fs::path(device).parent_path().string(), mountPoint),
            status::ERROR_NOT_READY);
  // A directory with a copied `dev` attribute is not the registered device.
  world.tree().writeSys("devices/virtual/fake/dev", "8:17\n");
  EXPECT_EQ(findVolumeMount(world.paths(), (world.tree().sys() / "devices/virtual/fake").string(), mountPoint),
            status::ERROR_FILE_NOT_FOUND);
  // Out of the sysfs root, by name or by link.
  EXPECT_EQ(findVolumeMount(world.paths(), world.mountDir().string(), mountPoint), status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(findVolumeMount(world.paths(), device + "/../../../../../../../../../../../../..", mountPoint),
            status::ERROR_FILE_NOT_FOUND);
  world.tree().linkSys("devices/escape", world.tree().root().string());
  EXPECT_EQ(findVolumeMount(world.paths(), (world.tree().sys() / "devices/escape/media/STICK").string(), mountPoint),
            status::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(findVolumeMount(world.paths(), "relative/sdb1", mountPoint), status::ERROR_INVALID_NAME);
  EXPECT_EQ(findVolumeMount(world.paths(), std::string("/sys\0/x", 7), mountPoint), status::ERROR_INVALID_NAME);
  EXPECT_EQ(findVolumeMount(world.paths(), "/nonexistent/device", mountPoint), status::ERROR_FILE_NOT_FOUND);

  world.unmount();
  EXPECT_EQ(findVolumeMount(world.paths(), device, mountPoint), status::ERROR_NOT_READY);
  EXPECT_TRUE(mountPoint.empty());
}

TEST(VolumePathTest, AHiddenMountIsNotTheVolumesMountPoint) {
  StickWorld world;
  const std::string device = world.devicePath();
  const std::string other = (world.tree().root() / "media" / "OTHER").string();
  // Mounted at two places, then something else mounted over the first.
  world.setMounts(world.mountDir(), "41 26 8:17 / " + other +
                                        " rw shared:41 - vfat /dev/sdb1 rw\n"
                                        "42 26 0:30 / " +
                                        world.mountDir().string() + " rw shared:42 - tmpfs tmpfs rw\n");
  std::string mountPoint;
  EXPECT_EQ(findVolumeMount(world.paths(), device, mountPoint), 0u);
  EXPECT_EQ(mountPoint, other);
}

TEST(VolumePathTest, WireFormIsUtf16LittleEndianWithItsNul) {
  const std::vector<std::uint8_t> ascii = encodeDevicePath("/sys/a");
  EXPECT_EQ(ascii, (std::vector<std::uint8_t>{'/', 0, 's', 0, 'y', 0, 's', 0, '/', 0, 'a', 0, 0, 0}));
  // U+00E9, U+20AC and U+1F600 (a surrogate pair).
  const std::string text = "/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const std::vector<std::uint8_t> wide = encodeDevicePath(text);
  EXPECT_EQ(wide, (std::vector<std::uint8_t>{'/', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  std::string back;
  ASSERT_TRUE(decodeDevicePath(wide, back));
  EXPECT_EQ(back, text);

  EXPECT_TRUE(encodeDevicePath("\xC0\xAF").empty());       // overlong '/'
  EXPECT_TRUE(encodeDevicePath("/\xED\xA0\x80").empty());  // a surrogate in UTF-8
  EXPECT_TRUE(encodeDevicePath("/\xF0\x9F\x98").empty());  // truncated
  EXPECT_TRUE(encodeDevicePath(std::string("/a\0b", 4)).empty());
  EXPECT_TRUE(encodeDevicePath(std::string(platform::kMaxDevicePathUnits, 'a')).empty());
  EXPECT_EQ(encodeDevicePath(std::string(platform::kMaxDevicePathUnits - 1, 'a')).size(),
            2 * platform::kMaxDevicePathUnits);
}

TEST(VolumePathTest, MalformedSwallowInputIsRefused) {
  std::string path;
  const auto refuses = [&](std::vector<std::uint8_t> input) {
    const bool ok = decodeDevicePath(input, path);
    return !ok && path.empty();
  };
  EXPECT_TRUE(refuses({}));
  EXPECT_TRUE(refuses({0, 0}));                        // an empty path
  EXPECT_TRUE(refuses({'/', 0, 'a', 0, 0}));           // odd length
  EXPECT_TRUE(refuses({'/', 0, 'a', 0}));              // no NUL
  EXPECT_TRUE(refuses({'/', 0, 0, 0, 'a', 0, 0, 0}));  // a NUL inside
  EXPECT_TRUE(refuses({'/', 0, 0x3D, 0xD8, 0, 0}));    // high surrogate alone
  EXPECT_TRUE(refuses({'/', 0, 0x00, 0xDE, 0, 0}));    // low surrogate alone
  EXPECT_TRUE(refuses({'/', 0, 0x3D, 0xD8, 'a', 0, 0, 0}));
  std::vector<std::uint8_t> overlong = encodeDevicePath(std::string(platform::kMaxDevicePathUnits - 1, 'a'));
  ASSERT_FALSE(overlong.empty());
  EXPECT_TRUE(decodeDevicePath(overlong, path));
  overlong.insert(overlong.begin(), {'a', 0});
  EXPECT_TRUE(refuses(overlong));
}

}  // namespace
}  // namespace quillon::test
