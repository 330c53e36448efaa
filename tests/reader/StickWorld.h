// A USB stick for the reader tests: a fixture sysfs tree (SysfsTree) whose
// partition is "mounted" on a temporary directory through a fixture mountinfo
// that the test rewrites to unmount or move the volume (or to pull the stick and
// plug one in again), a card container made by the card creation on it, and the
// reader configuration that points at all of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "personalise/CreateSecureContainer.h"
#include "platform/SysfsTree.h"
#include "reader/ReaderConfig.h"

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
  // SWALLOW's input for a path.
  static std::vector<std::uint8_t> swallowInput(const std::string& path);

  // Writes a card (PIN 1234) with the stick's identity, or with `identity`.
  void createCard(const DeviceIdentity* identity = nullptr);
  std::vector<std::uint8_t> containerBytes() const;

  // The mount table: the stick's partition at `dir` (none when empty), plus
  // `extra` lines. Written atomically, as a reader may be polling it.
  void setMounts(const std::filesystem::path& dir, const std::string& extra = "");
  void unmount() { setMounts({}); }
  // The partition mounted again at mountDir() under a new mount ID, as when the
  // stick is pulled and plugged in while nobody looks (the ID starts at 40).
  void mountAnew(const std::string& extra = "") {
    ++mountId_;
    setMounts(mountDir_, extra);
  }
  std::uint32_t mountId() const { return mountId_; }
  // Moves the volume's content to `dir` and mounts the partition there.
  void remountAt(const std::filesystem::path& dir);
  // Pulls the stick out (unmounted, its sysfs devices gone) and plugs `stick` in
  // instead, not mounted; the mount table names sdb (8:17), so `stick` keeps that
  // name. The volume's content stays in mountDir(), as on the medium.
  void replug(const SysfsTree::Stick& stick);

 private:
  SysfsTree tree_;
  SysfsTree::Stick stick_;
  std::filesystem::path mountDir_;
  std::uint32_t mountId_ = 40;
};

}  // namespace quillon::test
