// The reader's memory across pcscd restarts: the device path of the swallowed
// volume and the identity that finds it again after a re-plug, and the mounts of
// ejected sticks that a new channel must not take up again, in a small
// root-owned file (mode 0600, replaced atomically, no secrets). Values returned
// are the caller's own copies.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/VolumeIdentity.h"

namespace quillon::reader {

// A volume EJECT let go of while it was mounted: it stays out until it is
// mounted anew (another mount ID, or another device path for that ID).
struct EjectedMount {
  std::uint32_t mountId = 0;
  std::string devicePath;

  friend bool operator==(const EjectedMount&, const EjectedMount&) = default;
};

struct RememberedVolume {
  std::string devicePath;                  // empty: nothing remembered
  std::optional<VolumeIdentity> identity;  // none in files of the first format
  std::vector<EjectedMount> ejected = {};  // none before the third format
};

// The file is text, one "key=value" a line after its header. The first format:
//   quillon-reader-state 1
//   volume=<device path>
// The second adds the identity, every line present and in this order:
//   quillon-reader-state 2
//   volume=<device path>
//   vendor=<text>  product=<text>  revision=<text>  serial=<text>  (one a line)
//   partition=<1 and up, or "whole">
// The third, written only when an ejected mount is remembered, makes the volume
// optional and its identity too, and adds one line per ejected mount:
//   quillon-reader-state 3
//   volume=<device path>                     (optional)
//   vendor=... to partition=...              (optional, only after volume=)
//   ejected=<mount ID> <device path>         (one a line, at least one)
// Identity texts are printable ASCII, as the storage descriptor gives them.
class StateFile {
 public:
  static constexpr std::size_t kMaxBytes = 16384;
  // Ejected mounts kept at most; the oldest go first.
  static constexpr std::size_t kMaxEjected = 16;

  explicit StateFile(std::string path) : path_(std::move(path)) {}

  // Returns 0 with an empty `volume` when nothing is remembered (no file), 0
  // with the volume, or an errno value: EINVAL for a file that is not ours
  // (unknown header or key, malformed value, not a regular file, too large).
  int load(RememberedVolume& volume) const;

  // Remembers `volume` (in the first format when it has no identity and no
  // ejected mount, the second with an identity, the third with ejected mounts),
  // replacing the file atomically; its parent directory is created (0700) when
  // missing. Returns 0 or an errno value (EINVAL for a path holding a line break
  // or a NUL, an empty one without ejected mounts, more than kMaxEjected of
  // them, or an identity text that is not printable ASCII).
  int remember(const RememberedVolume& volume) const;

  // Forgets the volume: removes the file. Returns 0 (also when there was none)
  // or an errno value.
  int forget() const;

  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

}  // namespace quillon::reader
