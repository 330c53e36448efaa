// Replaces a file's content so that a crash or a full disk at any moment leaves
// either the old content or the new one: a temporary file beside the target is
// written and flushed, renamed over it, and the directory is flushed. The
// temporary file never outlives a failed replacement, and every replacement
// first removes those that writers killed midway left beside the target.
// Content in clear goes through an unnamed file instead, which dies with its writer.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace quillon::container {

// The step of a replacement that failed. kRename is also the removal of the old
// file and the link of the new one in ReplaceClearFile.
enum class ReplaceStep : std::uint8_t { kDone, kCreate, kWrite, kFlush, kRename, kFlushDirectory };

struct ReplaceResult {
  ReplaceStep step = ReplaceStep::kDone;
  int error = 0;  // errno of the failed step
  bool ok() const noexcept { return step == ReplaceStep::kDone; }
};

// Writes `bytes` as the new content of `path` (mode 0600). A symbolic link named
// `path` is replaced, not followed. After a failure at kFlushDirectory the new
// content is in place but may not survive a power loss.
ReplaceResult ReplaceFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) noexcept;

// Writes `bytes` that hold secrets in clear as `path` (mode 0600) so that no
// other name ever holds them, even when the writer is killed: an unnamed file,
// linked in place once complete and flushed. The old file goes first, so a
// failure may leave no file at `path`, never a partial one. Where the file
// system has no unnamed files (vfat) this is ReplaceFileAtomically.
ReplaceResult ReplaceClearFile(const std::string& path, std::span<const std::uint8_t> bytes) noexcept;

// The directory part of a path: "." when it has none, "/" for a file in the root.
std::string ParentDirectory(const std::string& path);

}  // namespace quillon::container
