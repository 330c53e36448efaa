// The device path of a mounted volume: the sysfs directory of its block device
// (the partition, or the disk when it is mounted whole). The wizard sends it to
// the virtual reader with SWALLOW and the reader maps it back to the volume's
// current mount point; both directions and the wire form live here so that the
// two sides share one definition. Results are the caller's own copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SystemPaths.h"

namespace quillon::platform {

// UTF-16 units a device path may take on the wire, its NUL included.
inline constexpr std::size_t kMaxDevicePathUnits = 4096;

// The highest partition number taken from sysfs.
inline constexpr std::uint32_t kMaxPartition = 1u << 20;

// The device path of the volume mounted whole at `mountPoint`: resolved, inside
// the sysfs root, for example "/sys/devices/pci0000:00/.../block/sdb/sdb1".
// Returns 0 or a Win32 code: ERROR_INVALID_NAME for a path that is not absolute,
// ERROR_FILE_NOT_FOUND when nothing is mounted there, ERROR_NOT_SUPPORTED for a
// mount of a volume's subdirectory, the mount table's read error, or the error of
// the device lookup (ERROR_INVALID_FUNCTION for a mount without a block device).
std::uint32_t volumeDevicePath(const SystemPaths& paths, std::string_view mountPoint, std::string& path);

// Which volume of its disk the one mounted whole at `mountPoint` is: its
// partition number (1 to kMaxPartition), or 0 when the disk is mounted whole.
// Unlike the device path, this survives the stick being plugged in again.
// Returns 0 or a Win32 code: those of volumeDevicePath, the attribute's read
// error, or ERROR_INVALID_DATA for a partition number that is not one.
std::uint32_t volumePartition(const SystemPaths& paths, std::string_view mountPoint, std::uint32_t& partition);

// Where the volume whose device path is `devicePath` is mounted whole now: the
// first visible such mount in mount-table order. The path must resolve inside
// the sysfs root to a block device's directory that sysfs lists under that
// device's number. Returns 0 or a Win32 code: ERROR_INVALID_NAME for a path that
// is not absolute, ERROR_FILE_NOT_FOUND for a path that is no block device (or
// leads out of the sysfs root), ERROR_NOT_READY when the volume is not mounted
// whole anywhere, the mount table's read error.
std::uint32_t findVolumeMount(const SystemPaths& paths, std::string_view devicePath, std::string& mountPoint);

// `path` (UTF-8) as UTF-16LE with its terminating NUL, as SWALLOW carries it:
// 2 x (units + 1) bytes. Empty for malformed UTF-8, an embedded NUL, or a path
// longer than kMaxDevicePathUnits allows.
std::vector<std::uint8_t> encodeDevicePath(std::string_view path);

// The path SWALLOW carries, back in UTF-8. False for an odd or empty input, one
// longer than kMaxDevicePathUnits units, one whose last unit is not the NUL or
// that holds another NUL before it, an unpaired surrogate, or an empty path.
bool decodeDevicePath(std::span<const std::uint8_t> input, std::string& path);

}  // namespace quillon::platform
