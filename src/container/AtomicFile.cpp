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
#include <string_view>

#include "base/FileHandle.h"

namespace quillon::container {

namespace {

constexpr int kNameAttempts = 64;

constexpr std::string_view kTemporarySuffix = ".tmp";

// A name that no earlier attempt of this process used; O_EXCL settles races with
// anything else in the directory. The shape is ".<base>.<pid>.<n>.tmp".
std::string temporaryName(const std::string& directory, const std::string& base) {
  static std::atomic<std::uint32_t> counter{0};
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u%s", static_cast<long>(::getpid()),
                counter.fetch_add(1, std::memory_order_relaxed), kTemporarySuffix.data());
  std::string name = directory;
  if (name.back() != '/') name += '/';
  return name + "." + base + suffix;
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
    FileHandle candidate(
        ::openat(dirFd, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
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

bool writeAll(int fd, const std::uint8_t* data, std::size_t size, int& error) noexcept {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
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

}  // namespace

std::string ParentDirectory(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

ReplaceResult ReplaceFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) noexcept {
  std::string directory;
  std::string base;
  std::string temporary;
  FileHandle file;
  try {
    directory = ParentDirectory(path);
    const std::size_t slash = path.find_last_of('/');
    base = slash == std::string::npos ? path : path.substr(slash + 1);
    for (int attempt = 0; attempt < kNameAttempts && !file.valid(); ++attempt) {
      temporary = temporaryName(directory, base);
      file = FileHandle(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (!file.valid() && errno != EEXIST) return fail(ReplaceStep::kCreate, errno);
    }
  } catch (const std::bad_alloc&) {
    return fail(ReplaceStep::kCreate, ENOMEM);
  }
  if (!file.valid()) return fail(ReplaceStep::kCreate, EEXIST);

  // From here on every failure takes the temporary file with it.
  const auto discard = [&](ReplaceStep step, int error) noexcept {
    file.close();
    ::unlink(temporary.c_str());
    return fail(step, error);
  };
  // Held until the rename: it tells other writers' sweeps that this file is alive.
  // Where the file system refuses locks, sweeps cannot take one either and leave it.
  (void)::flock(file.get(), LOCK_EX | LOCK_NB);
  int error = 0;
  if (!writeAll(file.get(), bytes.data(), bytes.size(), error)) return discard(ReplaceStep::kWrite, error);
  if (::fsync(file.get()) != 0) return discard(ReplaceStep::kFlush, errno);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return discard(ReplaceStep::kRename, errno);
  // The data is already on the device: closing a flushed file reports nothing new.
  file.close();

  // The rename is durable only once the directory is.
  FileHandle dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail(ReplaceStep::kFlushDirectory, errno);
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EOPNOTSUPP) {
    // EINVAL / EOPNOTSUPP: a file system that cannot flush a directory at all.
    return fail(ReplaceStep::kFlushDirectory, errno);
  }
  removeAbandonedTemporaries(dir.get(), base);
  return {};
}

}  // namespace quillon::container
