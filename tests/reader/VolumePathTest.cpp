// The device path of a volume, its way back to the mount point, and its wire form.
#include <gtest/gtest.h>

#include "StickWorld.h"
#include "base/Status.h"
#include "platform/VolumePath.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using platform::decodeDevicePath;
using platform::encodeDevicePath;
using platform::findVolumeMount;
using platform::volumeDevicePath;

TEST(VolumePathTest, APartitionsPathLeadsBackToItsMountPointAndNothingElseDoes) {
  StickWorld world;
  const platform::SystemPaths paths = world.paths();
  std::string path;
  ASSERT_EQ(volumeDevicePath(paths, world.mountDir().string() + "/", path), 0u);
  EXPECT_EQ(path, fs::canonical(world.tree().sys() / "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/"
                                                     "host6/target6:0:0/6:0:0:0/block/sdb/sdb1")
                      .string());
  std::string mountPoint;
  // The /sys/dev/block link names the same device.
  for (const std::string& device : {path, (world.tree().sys() / "dev/block/8:17").string()}) {
    EXPECT_EQ(findVolumeMount(paths, device, mountPoint), 0u);
    EXPECT_EQ(mountPoint, world.mountDir().string());
  }

  world.tree().writeSys("devices/virtual/fake/dev", "8:17\n");
  world.tree().linkSys("devices/escape", world.tree().root().string());
  for (const auto& [device, expected] : std::vector<std::pair<std::string, std::uint32_t>>{
           {fs::path(path).parent_path().string(), status::ERROR_NOT_READY},  // the disk: a block device, not mounted
           // A directory with a copied `dev` attribute is not the registered device.
           {(world.tree().sys() / "devices/virtual/fake").string(), status::ERROR_FILE_NOT_FOUND},
           // Out of the sysfs root, by name or by link.
           {world.mountDir().string(), status::ERROR_FILE_NOT_FOUND},
           {path + "/../../../../../../../../../../../../..", status::ERROR_FILE_NOT_FOUND},
           {(world.tree().sys() / "devices/escape/media/STICK").string(), status::ERROR_FILE_NOT_FOUND},
           {"relative/sdb1", status::ERROR_INVALID_NAME},
           {std::string("/sys\0/x", 7), status::ERROR_INVALID_NAME},
           {"/nonexistent/device", status::ERROR_FILE_NOT_FOUND}}) {
    EXPECT_EQ(findVolumeMount(paths, device, mountPoint), expected) << device;
  }

  // Mounted at two places, then something else mounted over the first.
  const std::string other = (world.tree().root() / "media" / "OTHER").string();
  world.setMounts(world.mountDir(), "41 26 8:17 / " + other + " rw shared:41 - vfat /dev/sdb1 rw\n42 26 0:30 / " +
                                        world.mountDir().string() + " rw shared:42 - tmpfs tmpfs rw\n");
  EXPECT_EQ(findVolumeMount(paths, path, mountPoint), 0u);
  EXPECT_EQ(mountPoint, other);

  world.unmount();
  EXPECT_EQ(findVolumeMount(paths, path, mountPoint), status::ERROR_NOT_READY);
  EXPECT_TRUE(mountPoint.empty());
}

TEST(VolumePathTest, WholeDiskMountsPartitionNumbersAndMountsThatAreNoVolume) {
  StickWorld world;
  const platform::SystemPaths paths = world.paths();
  SysfsTree::Stick whole = SysfsTree::stickAt("sdc", 32, 7);
  whole.partitioned = false;
  world.tree().addUsbStick(whole);
  const fs::path wholeDir = world.tree().root() / "media" / "WHOLE";
  const fs::path subDir = world.tree().root() / "media" / "SUB";
  world.setMounts(world.mountDir(), "41 26 8:32 / " + wholeDir.string() + " rw shared:41 - vfat /dev/sdc rw\n" +
                                        "42 26 8:17 /folder " + subDir.string() +
                                        " rw shared:42 - vfat /dev/sdb1 rw\n" +
                                        "43 26 0:23 / /run/user rw shared:43 - tmpfs tmpfs rw\n");
  std::string path;
  ASSERT_EQ(volumeDevicePath(paths, wholeDir.string(), path), 0u);
  EXPECT_TRUE(path.ends_with("/block/sdc")) << path;
  std::string mountPoint;
  EXPECT_EQ(findVolumeMount(paths, path, mountPoint), 0u);
  EXPECT_EQ(mountPoint, wholeDir.string());
  std::uint32_t partition = 99;
  ASSERT_EQ(platform::volumePartition(paths, world.mountDir().string(), partition), 0u);
  EXPECT_EQ(partition, 1u);
  ASSERT_EQ(platform::volumePartition(paths, wholeDir.string(), partition), 0u);
  EXPECT_EQ(partition, 0u);

  for (const auto& [mount, expected] : std::vector<std::pair<std::string, std::uint32_t>>{
           {subDir.string(), status::ERROR_NOT_SUPPORTED},
           {"/run/user", status::ERROR_INVALID_FUNCTION},
           {(world.tree().root() / "media").string(), status::ERROR_FILE_NOT_FOUND},
           {"media/STICK", status::ERROR_INVALID_NAME}}) {
    EXPECT_EQ(volumeDevicePath(paths, mount, path), expected) << mount;
    EXPECT_TRUE(path.empty());
  }

  const fs::path attribute = fs::relative(world.devicePath(), world.tree().sys()) / "partition";
  for (const char* bad : {"0\n", "x\n", "", "-1\n", "9999999999\n"}) {
    world.tree().writeSys(attribute, bad);
    partition = 99;
    EXPECT_EQ(platform::volumePartition(paths, world.mountDir().string(), partition), status::ERROR_INVALID_DATA)
        << bad;
    EXPECT_EQ(partition, 0u);
  }
  world.tree().writeSys(attribute, "3\n");
  ASSERT_EQ(platform::volumePartition(paths, world.mountDir().string(), partition), 0u);
  EXPECT_EQ(partition, 3u);
  world.unmount();
  EXPECT_EQ(platform::volumePartition(paths, world.mountDir().string(), partition), status::ERROR_FILE_NOT_FOUND);
}

TEST(VolumePathTest, WireFormIsUtf16LittleEndianWithItsNulAndMalformedFormsAreRefused) {
  EXPECT_EQ(encodeDevicePath("/sys/a"), (Bytes{'/', 0, 's', 0, 'y', 0, 's', 0, '/', 0, 'a', 0, 0, 0}));
  // U+00E9, U+20AC and U+1F600 (a surrogate pair).
  const std::string text = "/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const Bytes wide = encodeDevicePath(text);
  EXPECT_EQ(wide, (Bytes{'/', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  std::string back;
  ASSERT_TRUE(decodeDevicePath(wide, back));
  EXPECT_EQ(back, text);

  // An overlong '/', a surrogate in UTF-8, a truncated sequence, a NUL, one unit too many.
  for (const std::string& bad : {std::string("\xC0\xAF"), std::string("/\xED\xA0\x80"), std::string("/\xF0\x9F\x98"),
                                 std::string("/a\0b", 4), std::string(platform::kMaxDevicePathUnits, 'a')}) {
    EXPECT_TRUE(encodeDevicePath(bad).empty()) << bad;
  }
  const Bytes longest = encodeDevicePath(std::string(platform::kMaxDevicePathUnits - 1, 'a'));
  EXPECT_EQ(longest.size(), 2 * platform::kMaxDevicePathUnits);
  EXPECT_TRUE(decodeDevicePath(longest, back));
  Bytes overlong = {'a', 0};
  overlong.insert(overlong.end(), longest.begin(), longest.end());
  for (const Bytes& input : std::vector<Bytes>{{},
                                               {0, 0},                        // an empty path
                                               {'/', 0, 'a', 0, 0},           // odd length
                                               {'/', 0, 'a', 0},              // no NUL
                                               {'/', 0, 0, 0, 'a', 0, 0, 0},  // a NUL inside
                                               {'/', 0, 0x3D, 0xD8, 0, 0},    // high surrogate alone
                                               {'/', 0, 0x00, 0xDE, 0, 0},    // low surrogate alone
                                               {'/', 0, 0x3D, 0xD8, 'a', 0, 0, 0},
                                               overlong}) {
    back = "/x";
    EXPECT_FALSE(decodeDevicePath(input, back)) << input.size();
    EXPECT_TRUE(back.empty());
  }
}

}  // namespace
}  // namespace quillon::test
