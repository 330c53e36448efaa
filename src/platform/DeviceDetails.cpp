#include "platform/DeviceDetails.h"

#include "base/Status.h"
#include "base/Trace.h"
#include "platform/DescriptorString.h"
#include "platform/MountInfo.h"
#include "platform/StorageVolume.h"
#include "platform/internal/SysfsAttributes.h"

namespace quillon::platform {

namespace {

constexpr const char* kFunction = "FilePersist::GetDeviceDetails";

// Device types the storage descriptor may report that never hold a card.
constexpr std::uint8_t kTypePrinter = 0x02;
constexpr std::uint8_t kTypeRefused = 0x33;

// Finds the mounted volume; the part that stands for opening \\.\X:.
std::uint32_t findVolume(const SystemPaths& paths, std::string_view mountPoint, MountEntry& mount) {
  std::string normal;
  if (!normalizeMountPoint(mountPoint, normal)) return status::ERROR_INVALID_NAME;
  std::string text;
  if (const int err = paths.readMountInfo(text); err != 0) return status::win32FromErrno(err);
  const std::vector<MountEntry> entries = parseMountInfo(text);
  const MountEntry* found = findMount(entries, normal);
  if (found == nullptr) return status::ERROR_FILE_NOT_FOUND;
  mount = *found;
  return status::ERROR_SUCCESS;
}

// The descriptor's part: flags, then vendor, product, revision and serial number.
std::uint32_t readDescriptor(const SystemPaths& paths, const StorageVolume& volume, DeviceDetails& details) {
  if (const std::uint32_t err = readRemovable(paths, volume, details.removable)) return err;
  if (const std::uint32_t err = readDeviceType(paths, volume, details.deviceType)) return err;
  const std::filesystem::path scsi = volume.disk / "device";
  const std::filesystem::path usb = findUsbDevice(paths, volume);
  std::string raw;
  if (const std::uint32_t err = internal::readOptionalText(paths, scsi / "vendor", raw)) return err;
  details.vendor = copyDescriptorString(raw);
  if (const std::uint32_t err = internal::readOptionalText(paths, scsi / "model", raw)) return err;
  details.product = copyDescriptorString(raw);
  if (const std::uint32_t err = internal::readOptionalText(paths, scsi / "rev", raw)) return err;
  details.revision = copyDescriptorString(raw);
  raw.clear();
  if (!usb.empty()) {
    if (const std::uint32_t err = internal::readOptionalText(paths, usb / "serial", raw)) return err;
  }
  details.serial = copyDescriptorString(raw);
  return status::ERROR_SUCCESS;
}

}  // namespace

bool GetDeviceDetails(const SystemPaths& paths, std::string_view mountPoint, DeviceDetails& details,
                      std::uint32_t& error) {
  details = {};
  MountEntry mount;
  error = findVolume(paths, mountPoint, mount);
  if (error != status::ERROR_SUCCESS) {
    QTRACE(trace::kError, kFunction, "GetDeviceDetails: no mounted volume at %.*s err=%lu",
           static_cast<int>(mountPoint.size()), mountPoint.data(), static_cast<unsigned long>(error));
    return false;
  }

  // Finding the disk and reading its `ro` flag stand for IOCTL_DISK_IS_WRITABLE,
  // which a write-protected medium passes.
  StorageVolume volume;
  error = locateVolume(paths, mount, volume);
  if (error == status::ERROR_SUCCESS) error = readReadOnly(paths, volume, details.readOnly);
  if (error != status::ERROR_SUCCESS) {
    QTRACE(trace::kError, kFunction, "GetDeviceDetails: IOCTL_DISK_IS_WRITABLE err=%lu",
           static_cast<unsigned long>(error));
    details = {};
    return false;
  }

  error = readDescriptor(paths, volume, details);
  if (error != status::ERROR_SUCCESS) {
    QTRACE(trace::kError, kFunction, "GetDeviceDetails: IOCTL_STORAGE_QUERY_PROPERTY err=%lu",
           static_cast<unsigned long>(error));
    details = {};
    return false;
  }

  if (!details.removable || details.deviceType == kTypePrinter || details.deviceType == kTypeRefused) {
    // Refused without a trace; the caller still gets a reason, never success.
    details = {};
    error = status::ERROR_NOT_SUPPORTED;
    return false;
  }
  return true;
}

}  // namespace quillon::platform
