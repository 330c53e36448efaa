// A USB stick on a fixture sysfs tree, its partition "mounted" on a temporary
// directory through a fixture mountinfo the test rewrites, a card on it, and the
// reader configuration that points at all of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "personalise/CreateSecureContainer.h"
#include "platform/VolumePath.h"
#include "reader/ReaderConfig.h"
#include "support/SysfsTree.h"

namespace quillon::test {

inline constexpr const char* kCardPin = "1234";
inline constexpr const char* kCardSerial = "00112233445566778899AABBCCDDEEFF";
inline constexpr const char* kSelectGids = "00A4040009A0000003974254465900";

class StickWorld {
 public:
  // The stick sdb (partition 8:17) mounted at <root>/media/STICK.
  StickWorld();

  SysfsTree& tree() { return tree_; }
  platform::SystemPaths paths() const { return tree_.paths(); }
  const std::filesystem::path& mountDir() const { return mountDir_; }
  std::filesystem::path containerPath() const { return mountDir_ / "Quillon2.bin"; }
  reader::ReaderConfig config() const;
  std::filesystem::path statePath() const { return tree_.root() / "state" / "reader.state"; }

  // The device path the wizard sends for the mounted stick.
  std::string devicePath() const;

  // Writes a card (PIN 1234) with the stick's identity, or with `identity`, on the stick or in `dir`.
  void createCard(const DeviceIdentity* identity = nullptr, const std::filesystem::path& dir = {});
  std::vector<std::uint8_t> containerBytes() const;

  // The mount table (written atomically): the stick's partition at `dir` (none when empty), plus `extra`.
  void setMounts(const std::filesystem::path& dir, const std::string& extra = "");
  void unmount() { setMounts({}); }
  // Mounted again at mountDir() under a new mount ID (from 40), as after a replug nobody saw.
  void mountAnew(const std::string& extra = "") {
    ++mountId_;
    setMounts(mountDir_, extra);
  }
  // Moves the volume's content to `dir` and mounts the partition there.
  void remountAt(const std::filesystem::path& dir);
  // Pulls the stick out and plugs `stick` (named sdb, 8:17) in unmounted; the content stays in mountDir().
  void replug(const SysfsTree::Stick& stick);

 private:
  SysfsTree tree_;
  SysfsTree::Stick stick_;
  std::filesystem::path mountDir_;
  std::uint32_t mountId_ = 40;
};

}  // namespace quillon::test
