#include "platform/StorageVolume.h"

#include <cerrno>

#include "base/Status.h"
#include "platform/internal/SysfsAttributes.h"

namespace quillon::platform {

namespace fs = std::filesystem;

namespace {

// Deeper than any real device path (a USB stick sits about 12 levels below /sys).
constexpr int kMaxAncestry = 64;

std::uint32_t lookupError(int err) {
  // A link that leaves the sysfs root is treated as a device that is not there.
  return status::win32FromErrno(err == EXDEV ? ENOENT : err);
}

}  // namespace

std::uint32_t locateVolume(const SystemPaths& paths, const MountEntry& mount, StorageVolume& volume) {
  volume = {};
  if (mount.major == 0) return status::ERROR_INVALID_FUNCTION;
  fs::path device;
  if (const int err = paths.resolve(paths.blockDeviceLink(mount.major, mount.minor), device); err != 0) {
    return lookupError(err);
  }
  if (!paths.exists(device / "dev")) return status::ERROR_FILE_NOT_FOUND;
  fs::path disk = device;
  if (paths.exists(device / "partition")) {
    // A partition's directory sits inside its disk's.
    disk = device.parent_path();
    if (!paths.below(disk) || !paths.exists(disk / "dev")) return status::ERROR_FILE_NOT_FOUND;
  }
  volume.device = std::move(device);
  volume.disk = std::move(disk);
  return status::ERROR_SUCCESS;
}

std::uint32_t readReadOnly(const SystemPaths& paths, const StorageVolume& volume, bool& readOnly) {
  readOnly = false;
  std::uint32_t value = 0;
  if (const std::uint32_t err = internal::readNumber(paths, volume.disk / "ro", 1, value)) return err;
  readOnly = value != 0;
  if (volume.device != volume.disk) {
    if (const std::uint32_t err = internal::readOptionalNumber(paths, volume.device / "ro", 1, 0, value)) {
      return err;
    }
    readOnly = readOnly || value != 0;
  }
  return status::ERROR_SUCCESS;
}

std::uint32_t readRemovable(const SystemPaths& paths, const StorageVolume& volume, bool& removable) {
  removable = false;
  std::uint32_t value = 0;
  if (const std::uint32_t err = internal::readNumber(paths, volume.disk / "removable", 1, value)) return err;
  removable = value != 0;
  return status::ERROR_SUCCESS;
}

std::uint32_t readDeviceType(const SystemPaths& paths, const StorageVolume& volume, std::uint8_t& type) {
  type = 0;
  std::uint32_t value = 0;
  if (const std::uint32_t err = internal::readOptionalNumber(paths, volume.disk / "device" / "type", 255, 0, value)) {
    return err;
  }
  type = static_cast<std::uint8_t>(value);
  return status::ERROR_SUCCESS;
}

fs::path findUsbDevice(const SystemPaths& paths, const StorageVolume& volume) {
  fs::path dir;
  if (paths.resolve(volume.disk / "device", dir) != 0) return {};
  for (int depth = 0; depth < kMaxAncestry && paths.below(dir); ++depth) {
    if (paths.exists(dir / "bInterfaceNumber")) {
      fs::path usbDevice = dir.parent_path();
      return paths.below(usbDevice) ? usbDevice : fs::path();
    }
    dir = dir.parent_path();
  }
  return {};
}

}  // namespace quillon::platform
