// The block device behind a mounted volume, located in sysfs: the volume's own
// device (a partition or a whole disk), the disk that holds it, and the USB
// device above that disk. Plain values owned by the caller; every path is
// resolved and lies inside the SystemPaths' sysfs root.
#pragma once

#include <cstdint>
#include <filesystem>

#include "platform/MountInfo.h"
#include "platform/SystemPaths.h"

namespace quillon::platform {

struct StorageVolume {
  std::filesystem::path device;  // the partition, or the disk when the disk is mounted whole
  std::filesystem::path disk;
};

// Follows /sys/dev/block/<major>:<minor> to the volume's device and its disk.
// Returns 0 or a Win32 code: ERROR_INVALID_FUNCTION for a mount without a block
// device, the errno of a failed lookup otherwise (a link out of the sysfs root
// or a partition outside any disk counts as a missing device).
std::uint32_t locateVolume(const SystemPaths& paths, const MountEntry& mount, StorageVolume& volume);

// Whether the medium is write protected: the disk's `ro`, or the partition's.
std::uint32_t readReadOnly(const SystemPaths& paths, const StorageVolume& volume, bool& readOnly);

// The disk's `removable` flag.
std::uint32_t readRemovable(const SystemPaths& paths, const StorageVolume& volume, bool& removable);

// The SCSI peripheral device type of the disk (`device/type`); 0 (direct access)
// for a disk that is not a SCSI device. ERROR_INVALID_DATA above 255.
std::uint32_t readDeviceType(const SystemPaths& paths, const StorageVolume& volume, std::uint8_t& type);

// The USB device the disk hangs from: the parent of the first USB interface
// found walking up from the disk's `device`. Empty when the disk is not on USB.
// The walk stops there, so a hub or host controller further up never lends its
// own serial number to a stick that has none.
std::filesystem::path findUsbDevice(const SystemPaths& paths, const StorageVolume& volume);

}  // namespace quillon::platform
