#include "container/AtomicFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string_view>

#include "base/FileHandle.h"
#include "container/internal/FileCalls.h"

namespace quillon::container {

namespace {

constexpr int kNameAttempts = 64;
// A name that keeps coming back between our removal and our link is someone
// else's doing: after this many rounds the replacement gives up.
constexpr int kLinkAttempts = 8;

constexpr std::string_view kTemporarySuffix = ".tmp";

// A name in the target's directory that no earlier attempt of this process
// used; O_EXCL settles races with anything else there. The shape is
// ".<base>.<pid>.<n>.tmp".
std::string temporaryName(const std::string& base) {
  static std::atomic<std::uint32_t> counter{0};
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u%s", static_cast<long>(::getpid()),
                counter.fetch_add(1, std::memory_order_relaxed), kTemporarySuffix.data());
  return "." + base + suffix;
}

bool allDigits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

// Whether `name` has the shape temporaryName gives for `base`.
bool isTemporaryOf(std::string_view name, std::string_view base) {
  if (name.size() < 1 + base.size() + 1 + kTemporarySuffix.size() || !name.starts_with('.') ||
      name.substr(1, base.size()) != base || !name.ends_with(kTemporarySuffix))
    return false;
  name.remove_prefix(1 + base.size());
  name.remove_suffix(kTemporarySuffix.size());
  if (!name.starts_with('.')) return false;
  name.remove_prefix(1);
  const std::size_t dot = name.find('.');
  return dot != std::string_view::npos && allDigits(name.substr(0, dot)) && allDigits(name.substr(dot + 1));
}

// Removes the temporary files of replacements that were killed before their
// rename. A writer holds an exclusive lock on its temporary file until the
// rename, so a file whose lock can be had belongs to nobody. Best effort: what
// cannot be checked stays.
void removeAbandonedTemporaries(int dirFd, const std::string& base) noexcept {
  const int scanFd = ::dup(dirFd);
  if (scanFd < 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::fdopendir(scanFd), ::closedir);
  if (!dir) {
    ::close(scanFd);
    return;
  }
  while (const dirent* entry = ::readdir(dir.get())) {
    if (!isTemporaryOf(entry->d_name, base)) continue;
    FileHandle candidate(::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat opened {};
    if (!candidate.valid() || ::fstat(candidate.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) continue;
    if (::flock(candidate.get(), LOCK_EX | LOCK_NB) != 0) continue;  // a writer is at work
    // Still the file that was checked, not one created under the name since.
    struct stat named {};
    if (::fstatat(dirFd, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == opened.st_dev &&
        named.st_ino == opened.st_ino)
      ::unlinkat(dirFd, entry->d_name, 0);
  }
}

// Locks a temporary file just created as `name`. Until then it looks abandoned
// to another writer's sweep, which may have taken it: then it holds the lock or
// has removed the name, and the file is lost to us.
bool claim(int dirFd, const std::string& name, int fd) noexcept {
  // Where the file system refuses locks, sweeps cannot take one either and leave it.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
  struct stat opened {};
  struct stat named {};
  return ::fstat(fd, &opened) == 0 && ::fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

bool writeAll(const FileCalls& calls, int fd, const std::uint8_t* data, std::size_t size, int& error) noexcept {
  while (size > 0) {
    const ssize_t n = calls.write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    if (n == 0) {  // not expected of a regular file; do not spin on it
      error = EIO;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

ReplaceResult fail(ReplaceStep step, int error) noexcept { return {step, error}; }

ReplaceResult writeAndFlush(const FileCalls& calls, int fd, std::span<const std::uint8_t> bytes) noexcept {
  int error = 0;
  if (!writeAll(calls, fd, bytes.data(), bytes.size(), error)) return fail(ReplaceStep::kWrite, error);
  if (calls.fsync(fd) != 0) return fail(ReplaceStep::kFlush, errno);
  return {};
}

// A temporary file named beside the target, renamed over it: the old content
// stays until the new one is complete on the device.
ReplaceResult replaceThroughNamedFile(const FileCalls& calls, int dirFd, const std::string& base,
                                      std::span<const std::uint8_t> bytes) noexcept {
  std::string temporary;
  FileHandle file;
  try {
    for (int attempt = 0; attempt < kNameAttempts && !file.valid(); ++attempt) {
      temporary = temporaryName(base);
      file = FileHandle(
          calls.openat(dirFd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!file.valid()) {
        if (errno != EEXIST) return fail(ReplaceStep::kCreate, errno);
      } else if (!claim(dirFd, temporary, file.get())) {
        calls.unlinkat(dirFd, temporary.c_str(), 0);  // the name is ours alone: whoever removes it first
        file.close();
      }
    }
  } catch (const std::bad_alloc&) {
    return fail(ReplaceStep::kCreate, ENOMEM);
  }
  if (!file.valid()) return fail(ReplaceStep::kCreate, EEXIST);

  // The lock, held until the rename, tells other writers' sweeps that this file is alive.
  ReplaceResult result = writeAndFlush(calls, file.get(), bytes);
  if (result.ok() && calls.renameat(dirFd, temporary.c_str(), dirFd, base.c_str()) != 0)
    result = fail(ReplaceStep::kRename, errno);
  // A failure takes the temporary file with it, removed while still locked.
  if (!result.ok()) calls.unlinkat(dirFd, temporary.c_str(), 0);
  // The data is already on the device: closing a flushed file reports nothing new.
  return result;
}

// An unnamed file linked in place once complete; nullopt where there is no such
// file to be had (the file system has none, or no /proc to link one through),
// before anything was removed or linked.
std::optional<ReplaceResult> replaceThroughUnnamedFile(const FileCalls& calls, int dirFd, const std::string& base,
                                                       std::span<const std::uint8_t> bytes) noexcept {
  FileHandle file(calls.openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
  if (!file.valid()) {
    // EISDIR: a kernel without O_TMPFILE, which sees only its O_DIRECTORY part.
    if (errno == EOPNOTSUPP || errno == EISDIR) return std::nullopt;
    return fail(ReplaceStep::kCreate, errno);
  }
  if (ReplaceResult written = writeAndFlush(calls, file.get(), bytes); !written.ok()) return written;

  // Linked through the descriptor's /proc entry, followed: AT_EMPTY_PATH would
  // need a capability. linkat never replaces and never follows the new name, so
  // the old file goes first, and whatever takes the name in between (a symbolic
  // link laid as a trap included) is removed in turn.
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", file.get());
  for (int attempt = 1;; ++attempt) {
    if (calls.unlinkat(dirFd, base.c_str(), 0) != 0 && errno != ENOENT) return fail(ReplaceStep::kRename, errno);
    if (calls.linkat(AT_FDCWD, self, dirFd, base.c_str(), AT_SYMLINK_FOLLOW) == 0) return ReplaceResult{};
    if (errno == ENOENT) return std::nullopt;  // no /proc (or no directory, which the fallback reports)
    if (errno != EEXIST || attempt == kLinkAttempts) return fail(ReplaceStep::kRename, errno);
  }
}

ReplaceResult replace(const std::string& path, std::span<const std::uint8_t> bytes, bool clear) noexcept {
  const FileCalls& calls = CurrentFileCalls();
  std::string directory;
  std::string base;
  try {
    directory = ParentDirectory(path);
    const std::size_t slash = path.find_last_of('/');
    base = slash == std::string::npos ? path : path.substr(slash + 1);
  } catch (const std::bad_alloc&) {
    return fail(ReplaceStep::kCreate, ENOMEM);
  }
  FileHandle dir(calls.openat(AT_FDCWD, directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (!dir.valid()) return fail(ReplaceStep::kCreate, errno);
  // Before writing: on a full disk, what killed writers left is the space needed.
  removeAbandonedTemporaries(dir.get(), base);

  std::optional<ReplaceResult> result;
  if (clear) result = replaceThroughUnnamedFile(calls, dir.get(), base, bytes);
  if (!result) result = replaceThroughNamedFile(calls, dir.get(), base, bytes);
  if (!result->ok()) return *result;
  // The new name is durable only once the directory is.
  if (calls.fsync(dir.get()) != 0 && errno != EINVAL && errno != EOPNOTSUPP) {
    // EINVAL / EOPNOTSUPP: a file system that cannot flush a directory at all.
    return fail(ReplaceStep::kFlushDirectory, errno);
  }
  return {};
}

}  // namespace

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

ReplaceResult ReplaceFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) noexcept {
  return replace(path, bytes, false);
}

ReplaceResult ReplaceClearFile(const std::string& path, std::span<const std::uint8_t> bytes) noexcept {
  return replace(path, bytes, true);
}

}  // namespace quillon::container
