#include "reader/ContainerVersion.h"

#include "base/Status.h"
#include "container/ContainerFile.h"
#include "container/FilePersist.h"
#include "platform/VolumePath.h"

namespace quillon::reader {

std::string containerPathOn(const std::string& mountPoint) { return container::containerPathOn(mountPoint); }

ContainerVersion versionOf(const std::string& mountPoint, const struct stat& info) {
  ContainerVersion v;
  v.mountPoint = mountPoint;
  v.device = static_cast<std::uint64_t>(info.st_dev);
  v.inode = static_cast<std::uint64_t>(info.st_ino);
  v.size = static_cast<std::int64_t>(info.st_size);
  v.modifiedSeconds = static_cast<std::int64_t>(info.st_mtim.tv_sec);
  v.modifiedNanoseconds = static_cast<std::int64_t>(info.st_mtim.tv_nsec);
  v.changedSeconds = static_cast<std::int64_t>(info.st_ctim.tv_sec);
  v.changedNanoseconds = static_cast<std::int64_t>(info.st_ctim.tv_nsec);
  return v;
}

std::optional<ContainerVersion> currentVersion(const std::string& mountPoint) {
  struct stat info {};
  if (::lstat(containerPathOn(mountPoint).c_str(), &info) != 0) return std::nullopt;
  if (!S_ISREG(info.st_mode) || info.st_size <= 0) return std::nullopt;
  return versionOf(mountPoint, info);
}

VolumeView observeVolume(const platform::SystemPaths& paths, const std::string& devicePath) {
  VolumeView view;
  if (const std::uint32_t err = platform::findVolumeMount(paths, devicePath, view.mountPoint); err != 0) {
    view.mountPoint.clear();
    view.deviceGone = err == status::ERROR_FILE_NOT_FOUND;
    return view;
  }
  view.container = currentVersion(view.mountPoint);
  return view;
}

}  // namespace quillon::reader
