// The device path of a volume, its way back to the mount point, its partition
// number, and its wire form.
#include <gtest/gtest.h>

#include "base/Status.h"
#include "platform/VolumePath.h"
#include "support/StickWorld.h"
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
  std::string path, mountPoint;
  ASSERT_EQ(volumeDevicePath(paths, world.mountDir().string() + "/", path), 0u);
  EXPECT_EQ(path, fs::canonical(world.tree().sys() / "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/"
                                                     "host6/target6:0:0/6:0:0:0/block/sdb/sdb1")
                      .string());
  world.tree().writeSys("devices/virtual/fake/dev", "8:17\n");
  for (const auto& [device, expected] : std::vector<std::pair<std::string, std::uint32_t>>{
           {path, 0},
           {(world.tree().sys() / "devices/virtual/fake").string(), status::ERROR_FILE_NOT_FOUND},  // a copied `dev`
           {std::string("/sys\0/x", 7), status::ERROR_INVALID_NAME}}) {
    EXPECT_EQ(findVolumeMount(paths, device, mountPoint), expected) << device;
    EXPECT_EQ(mountPoint, expected == 0 ? world.mountDir().string() : "") << device;
  }
  // Mounted at two places, then something else mounted over the first.
  const std::string other = (world.tree().root() / "media" / "OTHER").string();
  world.setMounts(world.mountDir(), "41 26 8:17 / " + other + " rw - vfat /dev/sdb1 rw\n42 26 0:30 / " +
                                        world.mountDir().string() + " rw - tmpfs tmpfs rw\n");
  EXPECT_EQ(findVolumeMount(paths, path, mountPoint), 0u);
  EXPECT_EQ(mountPoint, other);
}

TEST(VolumePathTest, WholeDiskMountsPartitionNumbersAndMountsThatAreNoVolume) {
  StickWorld world;
  const platform::SystemPaths paths = world.paths();
  SysfsTree::Stick whole = SysfsTree::stickAt("sdc", 32, 7);
  whole.partitioned = false;
  world.tree().addUsbStick(whole);
  const fs::path wholeDir = world.tree().root() / "media" / "WHOLE";
  world.setMounts(world.mountDir(), "41 26 8:32 / " + wholeDir.string() + " rw - vfat /dev/sdc rw\n42 26 8:17 /f " +
                                        (world.tree().root() / "sub").string() +
                                        " rw - vfat /dev/sdb1 rw\n43 26 0:23 / /run/user rw - tmpfs tmpfs rw\n");
  std::string path;
  ASSERT_EQ(volumeDevicePath(paths, wholeDir.string(), path), 0u);
  EXPECT_TRUE(path.ends_with("/block/sdc")) << path;
  for (const auto& [mount, expected] : std::vector<std::pair<fs::path, std::uint32_t>>{
           {world.tree().root() / "sub", status::ERROR_NOT_SUPPORTED},  // a directory of a volume
           {"/run/user", status::ERROR_INVALID_FUNCTION},
           {world.tree().root() / "media", status::ERROR_FILE_NOT_FOUND},
           {"media/STICK", status::ERROR_INVALID_NAME}}) {
    EXPECT_EQ(volumeDevicePath(paths, mount.string(), path), expected) << mount;
    EXPECT_TRUE(path.empty());
  }
  // Partition numbers 1 to 1,048,576; 0 for the whole disk.
  std::uint32_t partition = 99;
  ASSERT_EQ(platform::volumePartition(paths, wholeDir.string(), partition), 0u);
  EXPECT_EQ(partition, 0u);
  const fs::path attribute = fs::relative(world.devicePath(), world.tree().sys()) / "partition";
  for (const auto& [text, expected] : std::vector<std::pair<const char*, std::uint32_t>>{
           {"1048576\n", 1048576}, {"1048577\n", 0}, {"0\n", 0}, {"x\n", 0}}) {
    world.tree().writeSys(attribute, text);
    EXPECT_EQ(platform::volumePartition(paths, world.mountDir().string(), partition),
              expected == 0 ? status::ERROR_INVALID_DATA : 0u)
        << text;
    EXPECT_EQ(partition, expected) << text;
  }
}

TEST(VolumePathTest, WireFormIsUtf16LittleEndianWithItsNulAndMalformedFormsAreRefused) {
  // U+00E9, U+20AC and U+1F600 (a surrogate pair).
  const std::string text = "/\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
  const Bytes wide = encodeDevicePath(text);
  EXPECT_EQ(wide, (Bytes{'/', 0, 0xE9, 0, 0xAC, 0x20, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}));
  std::string back;
  ASSERT_TRUE(decodeDevicePath(wide, back));
  EXPECT_EQ(back, text);
  // An overlong '/', a surrogate in UTF-8, a truncated sequence, a NUL, 4,096 units with the NUL at most.
  for (const std::string& bad : {std::string("\xC0\xAF"), std::string("/\xED\xA0\x80"), std::string("/\xF0\x9F\x98"),
                                 std::string("/a\0b", 4), std::string(4096, 'a')}) {
    EXPECT_TRUE(encodeDevicePath(bad).empty()) << bad;
  }
  const Bytes longest = encodeDevicePath(std::string(4095, 'a'));
  EXPECT_EQ(longest.size(), 8192u);
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
                                               overlong}) {
    back = "/x";
    EXPECT_FALSE(decodeDevicePath(input, back)) << input.size();
    EXPECT_TRUE(back.empty());
  }
}

}  // namespace
}  // namespace quillon::test
