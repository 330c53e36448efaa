// Where the kernel's views of mounts and devices are read from: /proc and /sys on
// a running system, or a fixture tree in tests. Every mountinfo and sysfs read of
// the platform layer goes through one of these; it holds only the two roots.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace quillon::platform {

class SystemPaths {
 public:
  static constexpr std::size_t kMaxMountInfoBytes = 16u << 20;
  static constexpr std::size_t kMaxAttributeBytes = 4096;  // a sysfs attribute is one page at most

  SystemPaths();  // "/proc" and "/sys"
  SystemPaths(std::filesystem::path procRoot, std::filesystem::path sysRoot);
  // The roots QUILLON_PROC_ROOT and QUILLON_SYS_ROOT name, each defaulting to the
  // system's: how the programs are pointed at a fixture tree.
  static SystemPaths fromEnvironment();

  const std::filesystem::path& procRoot() const noexcept { return procRoot_; }
  const std::filesystem::path& sysRoot() const noexcept { return sysRoot_; }

  // The calling process's mount table. Returns 0 or an errno value.
  int readMountInfo(std::string& text) const;

  // The link sysfs keeps for block device major:minor (not resolved).
  std::filesystem::path blockDeviceLink(std::uint32_t major, std::uint32_t minor) const;

  // `path` with every link resolved, which must stay inside the sysfs root.
  // Returns 0 or an errno value (EXDEV when a link leads out of the root).
  int resolve(const std::filesystem::path& path, std::filesystem::path& resolved) const;

  // Whether `dir`, already resolved, lies strictly below the resolved sysfs root.
  bool below(const std::filesystem::path& dir) const;

  // One sysfs attribute's text. Returns 0 or an errno value (ENOENT when absent).
  int readAttribute(const std::filesystem::path& file, std::string& text) const;

  // Whether `file` exists (links followed); errors count as absence.
  bool exists(const std::filesystem::path& file) const;

 private:
  std::filesystem::path procRoot_;
  std::filesystem::path sysRoot_;
};

}  // namespace quillon::platform
