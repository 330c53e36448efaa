// What the reader watches of its swallowed volume: where the volume is mounted
// now and which version of the container file sits at its root. A version
// changes whenever the file is replaced (the container is always rewritten by
// renaming a new file over it), written in place, or seen through another mount.
// Plain values owned by the caller.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/SystemPaths.h"

namespace quillon::reader {

struct ContainerVersion {
  std::string mountPoint;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t size = 0;
  std::int64_t modifiedSeconds = 0;
  std::int64_t modifiedNanoseconds = 0;
  std::int64_t changedSeconds = 0;
  std::int64_t changedNanoseconds = 0;

  friend bool operator==(const ContainerVersion&, const ContainerVersion&) = default;
};

// The container's path at the root of the volume mounted at `mountPoint`.
std::string containerPathOn(const std::string& mountPoint);

ContainerVersion versionOf(const std::string& mountPoint, const struct stat& info);

// The container on the volume at `mountPoint` as it is now, links not followed;
// nullopt unless it is a non-empty regular file (an empty one holds no card).
std::optional<ContainerVersion> currentVersion(const std::string& mountPoint);

struct VolumeView {
  std::string mountPoint;                     // empty: not mounted whole anywhere
  std::optional<ContainerVersion> container;  // set only when mounted and holding a card
  bool deviceGone = false;                    // the device path names no block device now (the stick was pulled)
};

VolumeView observeVolume(const platform::SystemPaths& paths, const std::string& devicePath);

}  // namespace quillon::reader
