// What names a swallowed volume across the stick being pulled and plugged in
// again, when its device path (which holds the SCSI host number) changes: the USB
// device's identity strings as GetDeviceDetails gives them, and which volume of
// the disk it is. Plain values owned by the caller.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/DeviceIdentity.h"
#include "platform/SystemPaths.h"

namespace quillon::reader {

struct VolumeIdentity : platform::DeviceIdentity {
  std::uint32_t partition = 0;  // 0: the whole disk

  // Without a serial number two sticks of one model look alike.
  bool recognisable() const noexcept { return !serial.empty(); }

  friend bool operator==(const VolumeIdentity&, const VolumeIdentity&) = default;
};

// The identity of the volume mounted whole at `mountPoint`; false when its
// device is refused or cannot be read.
bool readVolumeIdentity(const platform::SystemPaths& paths, const std::string& mountPoint, VolumeIdentity& identity);

// The device paths of the volumes on removable disks mounted whole and visible
// now whose identity is `identity`: each device once, however often it is
// mounted. Empty when the mount table cannot be read.
std::vector<std::string> findVolumesWithIdentity(const platform::SystemPaths& paths, const VolumeIdentity& identity);

}  // namespace quillon::reader
