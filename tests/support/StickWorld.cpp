#include "support/StickWorld.h"

#include <gtest/gtest.h>

#include <fstream>

#include "support/TestData.h"

namespace quillon::test {

namespace fs = std::filesystem;

StickWorld::StickWorld() : mountDir_(tree_.root() / "media" / "STICK") {
  tree_.addUsbStick(stick_);
  fs::create_directories(mountDir_);
  setMounts(mountDir_);
}

reader::ReaderConfig StickWorld::config() const {
  reader::ReaderConfig config;
  config.statePath = statePath().string();
  config.procRoot = (tree_.root() / "proc").string();
  config.sysRoot = tree_.sys().string();
  return config;
}

std::string StickWorld::devicePath() const {
  std::string path;
  EXPECT_EQ(platform::volumeDevicePath(paths(), mountDir_.string(), path), 0u);
  return path;
}

void StickWorld::createCard(const DeviceIdentity* identity, const fs::path& dir) {
  const Bytes key = fromHex("0102030405060708090A0B0C0D0E0F101112131415161718");
  const std::string where = (dir.empty() ? mountDir_ : dir).string();
  ASSERT_EQ(CreateSecureContainer(kCardPin, key.data(), kCardSerial, where, identity, paths()), 0u);
}

std::vector<std::uint8_t> StickWorld::containerBytes() const { return readFileBytes(containerPath().string()); }

void StickWorld::setMounts(const fs::path& dir, const std::string& extra) {
  std::string text = SysfsTree::kBaseMounts;
  if (!dir.empty())
    text += std::to_string(mountId_) + " 26 8:17 / " + dir.string() +
            " rw,nosuid,nodev,relatime shared:40 - vfat /dev/sdb1 rw\n";
  text += extra;
  const fs::path file = tree_.root() / "proc" / "self" / "mountinfo";
  const fs::path temporary = file.string() + ".new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    ASSERT_TRUE(out.good());
  }
  fs::rename(temporary, file);
}

void StickWorld::remountAt(const fs::path& dir) {
  unmount();
  fs::create_directories(dir.parent_path());
  fs::rename(mountDir_, dir);
  mountDir_ = dir;
  setMounts(mountDir_);
}

void StickWorld::replug(const SysfsTree::Stick& stick) {
  unmount();
  tree_.removeSys(fs::path("devices/pci0000:00/0000:00:14.0/usb2") / stick_.usbPort);
  for (const std::uint32_t minor : {stick_.minor, stick_.minor + 1})
    tree_.removeSys("dev/block/" + std::to_string(stick_.major) + ":" + std::to_string(minor));
  tree_.addUsbStick(stick);
  stick_ = stick;
}

}  // namespace quillon::test
