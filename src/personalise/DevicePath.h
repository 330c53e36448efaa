// The device path that names a volume to the virtual reader (Linux has no
// device-interface paths: the volume's sysfs device path stands in for one),
// found from the mount point that the drive string names.
#pragma once

#include <cstdint>
#include <string>

#include "platform/SystemPaths.h"

namespace quillon {

// ERROR_NO_UNICODE_TRANSLATION as an HRESULT: a device path that is not UTF-8,
// which SWALLOW cannot carry.
inline constexpr std::uint32_t kDevicePathNotUnicode = 0x80070459;

// The device path of the volume mounted at `drive` (a relative drive is taken
// from the current directory), at most
// platform::kMaxDevicePathUnits UTF-16 units with its NUL. Returns an HRESULT: 0,
// E_INVALIDARG for an empty drive, 0x8007007A for a longer path,
// kDevicePathNotUnicode, or the lookup's Win32 error as an HRESULT. `path` is
// empty whenever the result is not 0.
std::uint32_t BuildPnpPathFromDriveLetter(const std::string& drive, std::string& path,
                                          const platform::SystemPaths& paths = platform::SystemPaths());

}  // namespace quillon
