// Removable drives on Linux: a drive is the mount point of a mounted volume, and
// the compatible ones are whole volumes on a removable disk. Results are the
// caller's own copies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemPaths.h"

namespace quillon::platform {

// Drive types, numbered as GetDriveTypeW numbers them.
inline constexpr std::uint32_t DRIVE_UNKNOWN = 0;
inline constexpr std::uint32_t DRIVE_NO_ROOT_DIR = 1;  // not a mount point, or only a directory of a volume
inline constexpr std::uint32_t DRIVE_REMOVABLE = 2;
inline constexpr std::uint32_t DRIVE_FIXED = 3;
inline constexpr std::uint32_t DRIVE_REMOTE = 4;
inline constexpr std::uint32_t DRIVE_CDROM = 5;
inline constexpr std::uint32_t DRIVE_RAMDISK = 6;

// Whether `mountPoint` is the mount point of a whole volume on a removable disk.
bool isVolumeCompatible(const SystemPaths& paths, std::string_view mountPoint);

// The compatible drives, sorted by mount point (byte order), each once. Mounts
// without a block device and mounts of a volume's subdirectory are skipped
// unchecked. False, with a Win32 `error`, when the mount table cannot be read.
bool listCompatibleDrives(const SystemPaths& paths, std::vector<std::string>& drives, std::uint32_t& error);

}  // namespace quillon::platform
