#include "platform/Drives.h"

#include <map>

#include "base/Status.h"
#include "base/Trace.h"
#include "platform/MountInfo.h"
#include "platform/StorageVolume.h"

namespace quillon::platform {

namespace {

constexpr const char* kFunction = "IsVolumeCompatible";
constexpr std::uint8_t kScsiCdrom = 5;

struct Probe {
  std::uint32_t type = DRIVE_NO_ROOT_DIR;
  std::uint32_t openError = status::ERROR_SUCCESS;  // the block device could not be read
  std::string device;                               // its sysfs link, for the trace
};

std::uint32_t typeWithoutBlockDevice(const std::string& fsType) {
  static const char* const kRemote[] = {"nfs", "nfs4", "cifs",      "smb3",       "smbfs", "9p",
                                        "afs", "ceph", "glusterfs", "fuse.sshfs", "davfs"};
  for (const char* remote : kRemote) {
    if (fsType == remote) return DRIVE_REMOTE;
  }
  if (fsType == "tmpfs" || fsType == "ramfs") return DRIVE_RAMDISK;
  return DRIVE_UNKNOWN;
}

Probe probe(const SystemPaths& paths, const MountEntry* mount) {
  Probe p;
  if (mount == nullptr || mount->root != "/") return p;
  if (mount->major == 0) {
    p.type = typeWithoutBlockDevice(mount->fsType);
    return p;
  }
  p.type = DRIVE_UNKNOWN;
  p.device = paths.blockDeviceLink(mount->major, mount->minor).string();
  StorageVolume volume;
  bool removable = false;
  std::uint8_t scsiType = 0;
  p.openError = locateVolume(paths, *mount, volume);
  if (p.openError == status::ERROR_SUCCESS) p.openError = readRemovable(paths, volume, removable);
  if (p.openError == status::ERROR_SUCCESS) p.openError = readDeviceType(paths, volume, scsiType);
  if (p.openError != status::ERROR_SUCCESS) return p;
  p.type = scsiType == kScsiCdrom ? DRIVE_CDROM : removable ? DRIVE_REMOVABLE : DRIVE_FIXED;
  return p;
}

// The type test comes from the device itself here, so its read failure is
// reported before the type, where the volume open would fail on Windows.
bool check(const SystemPaths& paths, const std::string& mountPoint, const MountEntry* mount) {
  QTRACE(trace::kVerbose, kFunction, "IsVolumeCompatible: checking %s", mountPoint.c_str());
  const Probe p = probe(paths, mount);
  if (p.openError != status::ERROR_SUCCESS) {
    QTRACE(trace::kWarning, kFunction, "IsVolumeCompatible: CreateFile(%s) failed 0x%08x", p.device.c_str(),
           p.openError);
    return false;
  }
  if (p.type != DRIVE_REMOVABLE) {
    QTRACE(trace::kVerbose, kFunction, "IsVolumeCompatible: %s is not removable (type=%u)", mountPoint.c_str(), p.type);
    return false;
  }
  QTRACE(trace::kInformation, kFunction, "IsVolumeCompatible: %s is a compatible removable drive", mountPoint.c_str());
  return true;
}

bool readMounts(const SystemPaths& paths, std::vector<MountEntry>& entries, std::uint32_t& error) {
  std::string text;
  const int err = paths.readMountInfo(text);
  error = status::win32FromErrno(err);
  if (err != 0) return false;
  entries = parseMountInfo(text);
  return true;
}

}  // namespace

bool isVolumeCompatible(const SystemPaths& paths, std::string_view mountPoint) {
  std::string normal;
  if (!normalizeMountPoint(mountPoint, normal)) return check(paths, std::string(mountPoint), nullptr);
  std::vector<MountEntry> entries;
  std::uint32_t error = 0;
  if (!readMounts(paths, entries, error)) {
    QTRACE(trace::kVerbose, kFunction, "IsVolumeCompatible: checking %s", normal.c_str());
    QTRACE(trace::kWarning, kFunction, "IsVolumeCompatible: CreateFile(%s) failed 0x%08x",
           (paths.procRoot() / "self" / "mountinfo").c_str(), error);
    return false;
  }
  return check(paths, normal, findMount(entries, normal));
}

bool listCompatibleDrives(const SystemPaths& paths, std::vector<std::string>& drives, std::uint32_t& error) {
  drives.clear();
  std::vector<MountEntry> entries;
  if (!readMounts(paths, entries, error)) return false;
  // The last mount at a point is the visible one; the map sorts and dedupes.
  std::map<std::string, const MountEntry*> visible;
  for (const auto& entry : entries) visible[entry.mountPoint] = &entry;
  for (const auto& [mountPoint, mount] : visible) {
    if (mount->major == 0 || mount->root != "/") continue;
    if (check(paths, mountPoint, mount)) drives.push_back(mountPoint);
  }
  return true;
}

}  // namespace quillon::platform
