// The reader's memory across pcscd restarts: the device path of the swallowed
// volume, in a small root-owned file (mode 0600, replaced atomically, no
// secrets). Values returned are the caller's own copies.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::reader {

class StateFile {
 public:
  static constexpr std::size_t kMaxBytes = 16384;

  explicit StateFile(std::string path) : path_(std::move(path)) {}

  // The remembered device path. Returns 0 with `devicePath` empty when nothing
  // is remembered (no file), 0 with the path, or an errno value: EINVAL for a
  // file that is not ours (wrong header, not a regular file, too large).
  int load(std::string& devicePath) const;

  // Remembers `devicePath`, replacing the file atomically; its parent directory
  // is created (0700) when missing. Returns 0 or an errno value (EINVAL for a
  // path holding a line break or a NUL).
  int remember(std::string_view devicePath) const;

  // Forgets the volume: removes the file. Returns 0 (also when there was none)
  // or an errno value.
  int forget() const;

  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

}  // namespace quillon::reader
