// The identity and media flags of the storage device behind a mounted volume,
// read from sysfs so that the strings come out as the Windows storage descriptor
// gives them for the same device. Results are the caller's own copies.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/DeviceIdentity.h"
#include "platform/SystemPaths.h"

namespace quillon::platform {

// The device's identity strings, and what decides whether it may hold a card.
struct DeviceDetails : DeviceIdentity {
  std::uint8_t deviceType = 0;  // SCSI peripheral device type
  bool removable = false;
  bool readOnly = false;
};

// Reads the details of the device whose volume is mounted exactly at
// `mountPoint` (a directory below a mount point is refused, never taken for its
// mount's). On false `details` is empty and `error` holds a non-zero Win32 code:
//  - ERROR_INVALID_NAME for a relative path, ERROR_FILE_NOT_FOUND when nothing
//    is mounted there, the mount table's read error;
//  - the error of the device lookups, traced as the Windows queries they stand
//    for (ERROR_INVALID_FUNCTION for a mount without a block device);
//  - ERROR_NOT_SUPPORTED, untraced, for a refused device: not removable, or of
//    device type 0x02 or 0x33. A write-protected medium is accepted.
bool GetDeviceDetails(const SystemPaths& paths, std::string_view mountPoint, DeviceDetails& details,
                      std::uint32_t& error);

}  // namespace quillon::platform
