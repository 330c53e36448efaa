#include "reader/VolumeIdentity.h"

#include <algorithm>

#include "platform/DeviceDetails.h"
#include "platform/MountInfo.h"
#include "platform/StorageVolume.h"
#include "platform/VolumePath.h"

namespace quillon::reader {

bool readVolumeIdentity(const platform::SystemPaths& paths, const std::string& mountPoint, VolumeIdentity& identity) {
  identity = {};
  platform::DeviceDetails details;
  std::uint32_t error = 0;
  if (!platform::GetDeviceDetails(paths, mountPoint, details, error)) return false;
  std::uint32_t partition = 0;
  if (platform::volumePartition(paths, mountPoint, partition) != 0) return false;
  static_cast<platform::DeviceIdentity&>(identity) = std::move(details);
  identity.partition = partition;
  return true;
}

std::vector<std::string> findVolumesWithIdentity(const platform::SystemPaths& paths, const VolumeIdentity& identity) {
  std::vector<std::string> found;
  std::string text;
  if (paths.readMountInfo(text) != 0) return found;
  const std::vector<platform::MountEntry> entries = platform::parseMountInfo(text);
  for (const platform::MountEntry& entry : entries) {
    if (entry.major == 0 || entry.root != "/") continue;
    if (platform::findMount(entries, entry.mountPoint) != &entry) continue;  // hidden by a later mount
    // Past fixed disks quietly, before the identity reads that trace what fails.
    platform::StorageVolume volume;
    bool removable = false;
    if (platform::locateVolume(paths, entry, volume) != 0 || platform::readRemovable(paths, volume, removable) != 0 ||
        !removable) {
      continue;
    }
    VolumeIdentity seen;
    if (!readVolumeIdentity(paths, entry.mountPoint, seen) || seen != identity) continue;
    std::string device = volume.device.string();
    if (std::find(found.begin(), found.end(), device) == found.end()) found.push_back(std::move(device));
  }
  return found;
}

}  // namespace quillon::reader
