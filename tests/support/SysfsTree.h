// A throw-away /proc and /sys pair in a temporary directory, laid out as the
// kernel lays them out (real relative symlinks from /sys/dev/block into
// /sys/devices), describing USB sticks and fixed disks for the platform tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SystemPaths.h"
#include "support/TempDir.h"

namespace quillon::test {

class SysfsTree {
 public:
  // A USB mass-storage stick; the optional attributes are left out when empty.
  struct Stick {
    std::string disk = "sdb";
    std::uint32_t major = 8;
    std::uint32_t minor = 16;  // the partition, when there is one, is minor + 1
    std::string usbPort = "2-1";
    int scsiHost = 6;
    std::optional<std::string> vendor = "ACME    \n";
    std::optional<std::string> model = "Pocket Drive    \n";
    std::optional<std::string> rev = "1.00\n";
    std::optional<std::string> serial = "4C5301234567\n";
    std::optional<std::string> type = "0\n";
    std::optional<std::string> removable = "1\n";
    std::optional<std::string> ro = "0\n";
    bool partitioned = true;
  };

  // The default stick as disk `disk` (minor `minor`) on SCSI host and USB port `host`.
  static Stick stickAt(const std::string& disk, std::uint32_t minor, int host) {
    Stick stick;
    stick.disk = disk;
    stick.minor = minor;
    stick.scsiHost = host;
    stick.usbPort = "2-" + std::to_string(host);
    return stick;
  }

  // The root is a new directory named `prefix` and six random characters.
  explicit SysfsTree(const std::string& prefix = "quillon-platform-");

  platform::SystemPaths paths() const { return {root_ / "proc", root_ / "sys"}; }
  const std::filesystem::path& root() const { return root_; }
  std::filesystem::path sys() const { return root_ / "sys"; }

  // Builds the stick's device chain and /sys/dev/block links; returns the disk's
  // directory, relative to the sysfs root.
  std::filesystem::path addUsbStick(const Stick& stick);
  // A SATA disk `name` with one partition (minor + 1), not removable.
  std::filesystem::path addFixedDisk(const std::string& name, std::uint32_t major, std::uint32_t minor);

  // Appends a mountinfo line; `mountPoint` is given escaped as the kernel writes it.
  void mount(std::uint32_t major, std::uint32_t minor, const std::string& mountPoint,
             const std::string& fsType = "vfat", const std::string& root = "/");
  // The mounts of every tree: /proc, /sys and /run.
  static constexpr const char* kBaseMounts =
      "21 26 0:20 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
      "22 26 0:21 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw\n"
      "24 26 0:23 / /run rw,nosuid,nodev shared:5 - tmpfs tmpfs rw,size=1620848k,mode=755\n";
  // Appends raw text to mountinfo.
  void appendMountInfo(std::string_view text);

  // Files and links below the sysfs root, with parent directories created.
  void writeSys(const std::filesystem::path& relative, std::string_view content);
  void linkSys(const std::filesystem::path& relative, const std::string& target);
  void removeSys(const std::filesystem::path& relative);

 private:
  // The SCSI device `scsi` (relative to the sysfs root) with its attributes, disk and partition.
  std::filesystem::path addDisk(const std::filesystem::path& scsi, const Stick& disk);

  TempDir dir_;
  const std::filesystem::path& root_ = dir_.path();
  int nextMountId_ = 20;
};

}  // namespace quillon::test
