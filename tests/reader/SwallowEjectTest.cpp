// EJECT and SWALLOW: what the wizard relies on, and what the driver refuses.
#include <gtest/gtest.h>

#include <filesystem>

#include "ReaderFixture.h"
#include "platform/VolumePath.h"
#include "reader/StateFile.h"
#include "support/CapturingSink.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using reader::VirtualReader;

class SwallowEjectTest : public ReaderFixture {};

TEST_F(SwallowEjectTest, SwallowedVolumeIsServedAndRemembered) {
  world.createCard();
  EXPECT_FALSE(reader->present());
  ASSERT_EQ(reader->control(VirtualReader::kSwallow, StickWorld::swallowInput(world.devicePath())), IFD_SUCCESS);
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(reader->present());

  std::array<std::uint8_t, 33> atr{};
  std::size_t atrLength = 0;
  ASSERT_EQ(reader->powerUp(atr, atrLength), IFD_SUCCESS);
  // TS 3B; T0 87: TD1 follows, seven historical bytes; TD1 01: T=1 and nothing more; "Quillon";
  // TCK CA, so that T0 to TCK exclusive-or to zero (worked out with Python).
  EXPECT_EQ(Bytes(atr.begin(), atr.begin() + atrLength), fromHex("3B87015175696C6C6F6ECA"));
  EXPECT_TRUE(reader->powered());
  const Answer select = send(kSelectGids);
  EXPECT_EQ(select.rc, IFD_SUCCESS);
  EXPECT_EQ(select.sw, 0x9000);
  // An application the card does not hold is not claimed.
  EXPECT_EQ(sw("00A4040007A0000003080000"), 0x6A82);

  reader::RememberedVolume remembered;
  ASSERT_EQ(reader::StateFile(world.statePath().string()).load(remembered), 0);
  EXPECT_EQ(remembered.devicePath, world.devicePath());
  ASSERT_TRUE(remembered.identity);
  EXPECT_EQ(*remembered.identity, (reader::VolumeIdentity{"ACME", "Pocket Drive", "1.00", "4C5301234567", 1}));

  // A link or dots inside sysfs name the same volume, kept in its resolved form.
  ASSERT_TRUE(swallow((world.tree().sys() / "dev/block/8:17").string()));
  EXPECT_EQ(reader->volume(), world.devicePath());
  ASSERT_TRUE(swallow(world.devicePath() + "/../sdb1/."));
  EXPECT_EQ(reader->volume(), world.devicePath());
}

TEST_F(SwallowEjectTest, MalformedInputIsRefusedAndChangesNothing) {
  world.createCard();
  const Bytes good = StickWorld::swallowInput(world.devicePath());
  Bytes odd = good;
  odd.push_back(0);
  Bytes innerNul = good;
  innerNul[4] = innerNul[5] = 0;
  Bytes loneSurrogate = good;
  loneSurrogate[2] = 0x00;
  loneSurrogate[3] = 0xD8;
  Bytes overlong = platform::encodeDevicePath(std::string(platform::kMaxDevicePathUnits - 1, '/'));
  overlong.insert(overlong.begin(), {'/', 0});
  for (const Bytes& input : {Bytes{}, Bytes{0, 0}, odd, Bytes(good.begin(), good.end() - 2),
                             Bytes(good.begin(), good.end() - 1), innerNul, overlong, loneSurrogate}) {
    EXPECT_EQ(reader->control(VirtualReader::kSwallow, input), IFD_COMMUNICATION_ERROR) << input.size();
  }
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(fs::exists(world.statePath()));
}

TEST_F(SwallowEjectTest, OnlyAMountedWholeVolumeOnARemovableDiskIsTaken) {
  world.createCard();
  world.tree().addFixedDisk("sda", 8, 0);
  world.tree().addUsbStick(SysfsTree::stickAt("sdc", 32, 7));  // another stick, plugged in but not mounted
  SysfsTree::Stick cdrom = SysfsTree::stickAt("sr0", 0, 8);    // a removable drive of the CD type
  cdrom.major = 11;
  cdrom.type = "5\n";
  cdrom.partitioned = false;
  world.tree().addUsbStick(cdrom);
  const std::string root = world.tree().root().string();
  world.setMounts(world.mountDir(), "41 26 8:1 / " + root + "/fixed rw shared:41 - ext4 /dev/sda1 rw\n42 26 11:0 / " +
                                        root + "/cdrom ro shared:42 - iso9660 /dev/sr0 ro\n43 26 8:17 /folder " + root +
                                        "/sub rw shared:43 - vfat /dev/sdb1 rw\n");
  const fs::path sys = world.tree().sys();
  const fs::path stickDisk = fs::path(world.devicePath()).parent_path();
  for (const std::string& path : std::vector<std::string>{
           std::string("/nonexistent/block/sdz/sdz1"),
           std::string("relative/block/sdb/sdb1"),
           world.mountDir().string(),                                // the mount point, not a device
           (world.tree().root() / "proc").string(),                  // outside the sysfs root
           stickDisk.string(),                                       // the disk, mounted only as its partition
           (sys / "dev/block/8:1").string(),                         // a fixed disk's partition
           (sys / "dev/block/8:33").string(),                        // a stick that is not mounted
           (sys / "dev/block/11:0").string(),                        // a CD drive
           (sys / "devices/pci0000:00/0000:00:14.0/usb2").string(),  // a USB device, not a block device
           world.devicePath() + "/../../../../../../../../../../../../../../proc",
       }) {
    EXPECT_FALSE(swallow(path)) << path;
  }
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(fs::exists(world.statePath()));

  world.unmount();
  EXPECT_FALSE(swallow(stickDisk.string() + "/sdb1"));
  EXPECT_FALSE(reader->present());
}

TEST_F(SwallowEjectTest, EjectLeavesTheContainerAloneAndReportsTheCardAbsent) {
  serveCard();
  const Bytes before = world.containerBytes();
  ASSERT_EQ(reader->control(VirtualReader::kEject, {}), IFD_SUCCESS);
  EXPECT_FALSE(reader->powered());
  EXPECT_TRUE(reader->volume().empty());
  // No volume remembered, only the mount the stick was ejected from.
  reader::RememberedVolume remembered;
  ASSERT_EQ(reader::StateFile(world.statePath().string()).load(remembered), 0);
  EXPECT_TRUE(remembered.devicePath.empty());
  EXPECT_EQ(remembered.ejected, (std::vector<reader::EjectedMount>{{world.mountId(), world.devicePath()}}));
  EXPECT_EQ(send(kSelectGids).rc, IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(powerUp(), IFD_ICC_NOT_PRESENT);
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(world.containerBytes(), before);

  // Now the wizard may delete or replace the file; the reader stays out of it.
  ASSERT_TRUE(fs::remove(world.containerPath()));
  EXPECT_FALSE(reader->present());
  world.createCard();
  EXPECT_FALSE(reader->present());
  EXPECT_EQ(powerUp(), IFD_ICC_NOT_PRESENT);
}

TEST_F(SwallowEjectTest, EjectAndSwallowBetweenTwoPollsStillShowTheCardLeaving) {
  serveCard();
  ASSERT_TRUE(reader->present());
  ASSERT_TRUE(reader->eject());
  world.createCard();
  ASSERT_TRUE(swallowStick());
  // Not powered up until pcscd has seen the old card go.
  EXPECT_EQ(powerUp(), IFD_ICC_NOT_PRESENT);
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();

  // The same with the card powered down (pcscd does that 5 s after the last client).
  reader->powerDown();
  ASSERT_TRUE(reader->present());
  ASSERT_TRUE(reader->eject());
  ASSERT_TRUE(swallowStick());
  EXPECT_FALSE(reader->present());
  EXPECT_TRUE(reader->present());
}

TEST_F(SwallowEjectTest, GetVolumeAnswersTheServedPathAsSwallowTakesIt) {
  std::array<std::uint8_t, 65548> out{};  // what pcscd offers
  std::size_t returned = 99;
  EXPECT_EQ(reader->control(VirtualReader::kGetVolume, {}, out, returned), IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);

  // Swallowed through a link: the canonical path comes back, with its NUL.
  world.createCard();
  ASSERT_TRUE(swallow((world.tree().sys() / "dev/block/8:17").string()));
  const Bytes expected = StickWorld::swallowInput(world.devicePath());
  ASSERT_EQ(reader->control(VirtualReader::kGetVolume, {}, out, returned), IFD_SUCCESS);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(returned)), expected);
  std::string decoded;
  ASSERT_TRUE(platform::decodeDevicePath(std::span(out.data(), returned), decoded));
  EXPECT_EQ(decoded, reader->volume());

  // A buffer one byte short gets nothing; input is refused.
  returned = 99;
  EXPECT_EQ(reader->control(VirtualReader::kGetVolume, {}, std::span(out.data(), expected.size() - 1), returned),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(reader->control(VirtualReader::kGetVolume, {}, std::span(out.data(), expected.size()), returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, expected.size());
  const std::uint8_t junk[] = {0, 0};
  EXPECT_EQ(reader->control(VirtualReader::kGetVolume, junk, out, returned), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(returned, 0u);

  ASSERT_TRUE(reader->eject());
  returned = 99;
  EXPECT_EQ(reader->control(VirtualReader::kGetVolume, {}, out, returned), IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
}

TEST_F(SwallowEjectTest, ControlCodesWithoutACardAndAStateThatCannotBeWritten) {
  EXPECT_EQ(reader->control(VirtualReader::kEject, {}), IFD_SUCCESS);
  const std::uint8_t junk[] = {1, 2};
  EXPECT_EQ(reader->control(VirtualReader::kEject, junk), IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(reader->control(VirtualReader::kGetFeatureRequest, {}), IFD_SUCCESS);
  EXPECT_EQ(reader->control(0x00310020, {}), IFD_ERROR_NOT_SUPPORTED);  // IOCTL_SMARTCARD_... n = 8
  EXPECT_EQ(reader->control(0x42000001, {}), IFD_ERROR_NOT_SUPPORTED);

  // A directory where the state file should be fails both requests.
  world.createCard();
  fs::create_directories(world.statePath());
  EXPECT_FALSE(swallowStick());
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_FALSE(reader->present());
  EXPECT_FALSE(reader->eject());
}

TEST_F(SwallowEjectTest, TheRememberedVolumeIsTakenUpByANewChannel) {
  serveCard();
  ASSERT_EQ(sw("002000800431313131"), 0x63C2);
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());
  EXPECT_TRUE(reader->present());
  powerUpAndSelect();
  EXPECT_EQ(sw("0020008000"), 0x63C2);  // the wrong PIN was stored before its answer left

  // Not mounted when the channel opens: not taken up, but not forgotten either.
  world.unmount();
  openReader();
  EXPECT_TRUE(reader->volume().empty());
  world.setMounts(world.mountDir());
  openReader();
  EXPECT_EQ(reader->volume(), world.devicePath());

  // After EJECT there is nothing to take up.
  ASSERT_TRUE(reader->eject());
  openReader();
  EXPECT_TRUE(reader->volume().empty());
}

TEST_F(SwallowEjectTest, AStateFileNamingAnotherDeviceIsNotTakenUp) {
  world.tree().addFixedDisk("sda", 8, 0);
  world.setMounts(world.mountDir(), "41 26 8:1 / " + world.tree().root().string() + "/fixed rw - ext4 /dev/sda1 rw\n");
  const reader::RememberedVolume fixed{(world.tree().sys() / "dev/block/8:1").string(), std::nullopt};
  ASSERT_EQ(reader::StateFile(world.statePath().string()).remember(fixed), 0);
  TraceCapture capture;
  openReader();
  EXPECT_TRUE(reader->volume().empty());
  EXPECT_EQ(capture.sink().count("not taken up"), 1u);
  EXPECT_FALSE(reader->present());
}

}  // namespace
}  // namespace quillon::test
