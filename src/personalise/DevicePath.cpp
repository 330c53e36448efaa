#include "personalise/DevicePath.h"

#include <filesystem>
#include <system_error>

#include "base/Status.h"
#include "base/Utf8.h"
#include "platform/VolumePath.h"

namespace quillon {

std::uint32_t BuildPnpPathFromDriveLetter(const std::string& drive, std::string& path,
                                          const platform::SystemPaths& paths) {
  path.clear();
  if (drive.empty()) return status::E_INVALIDARG;
  // The mount table names mounts by absolute path; a drive may be typed relative.
  std::string absolute = drive;
  if (drive.front() != '/') {
    std::error_code ec;
    absolute = std::filesystem::absolute(drive, ec).string();
    if (ec) return status::hresultFromErrno(ec.value());
  }
  std::string found;
  const std::uint32_t error = platform::volumeDevicePath(paths, absolute, found);
  // A path too long for the request is refused as the fixed-size buffer refuses it.
  if (error == status::ERROR_FILENAME_EXCED_RANGE ||
      (error == 0 && utf8::utf16Units(found) + 1 > platform::kMaxDevicePathUnits))
    return status::STRSAFE_E_INSUFFICIENT_BUFFER;
  if (error != 0) return status::hresultFromWin32(error);
  if (found.empty()) return status::E_FAIL;
  if (platform::encodeDevicePath(found).empty()) return kDevicePathNotUnicode;
  path = std::move(found);
  return 0;
}

}  // namespace quillon
