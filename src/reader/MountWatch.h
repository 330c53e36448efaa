// The mount table by mount ID, to tell a volume newly mounted (a stick plugged
// in) from one mounted all along: a container written to a volume that was
// already mounted is no stick arriving. The kernel reuses the ID of a mount that
// went away, so a mount is known by its ID with its device and mount point.
// Plain values owned by the caller; one MountWatch per reader, under its mutex.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/MountInfo.h"
#include "platform/SystemPaths.h"

namespace quillon::reader {

struct VolumeMount {
  std::uint32_t id = 0;  // the kernel's mount ID, the first field of mountinfo
  platform::MountEntry entry;
};

// The visible mounts of whole block-device volumes (a device number, root "/",
// not hidden by a later mount at the same point), with their IDs, in table
// order. False when the table cannot be read.
bool readVolumeMounts(const platform::SystemPaths& paths, std::vector<VolumeMount>& mounts);

class MountWatch {
 public:
  struct Look {
    bool ok = false;                 // false: the table could not be read, nothing else is set
    bool changed = false;            // the mounts differ from the last look's
    std::vector<VolumeMount> all;    // every volume mount now
    std::vector<VolumeMount> fresh;  // those not there at the last look; at the first, all
  };

  Look look(const platform::SystemPaths& paths);

 private:
  using Key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::string>;
  bool looked_ = false;
  std::set<Key> known_;
};

}  // namespace quillon::reader
