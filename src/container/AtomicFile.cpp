#include "container/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <new>

#include "base/FileHandle.h"

namespace quillon::container {

namespace {

constexpr int kNameAttempts = 64;

// A name that no earlier attempt of this process used; O_EXCL settles races with
// anything else in the directory.
std::string temporaryName(const std::string& directory, const std::string& base) {
  static std::atomic<std::uint32_t> counter{0};
  char suffix[40];
  std::snprintf(suffix, sizeof suffix, ".%ld.%u.tmp", static_cast<long>(::getpid()),
                counter.fetch_add(1, std::memory_order_relaxed));
  std::string name = directory;
  if (name.back() != '/') name += '/';
  return name + "." + base + suffix;
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
  std::string temporary;
  FileHandle file;
  try {
    directory = ParentDirectory(path);
    const std::size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
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
  int error = 0;
  if (!writeAll(file.get(), bytes.data(), bytes.size(), error)) return discard(ReplaceStep::kWrite, error);
  if (::fsync(file.get()) != 0) return discard(ReplaceStep::kFlush, errno);
  if ((error = file.close()) != 0) return discard(ReplaceStep::kFlush, error);
  if (::rename(temporary.c_str(), path.c_str()) != 0) return discard(ReplaceStep::kRename, errno);

  // The rename is durable only once the directory is.
  FileHandle dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return fail(ReplaceStep::kFlushDirectory, errno);
  if (::fsync(dir.get()) != 0 && errno != EINVAL && errno != EOPNOTSUPP) {
    // EINVAL / EOPNOTSUPP: a file system that cannot flush a directory at all.
    return fail(ReplaceStep::kFlushDirectory, errno);
  }
  return {};
}

}  // namespace quillon::container
