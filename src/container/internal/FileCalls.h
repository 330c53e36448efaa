// The system calls through which AtomicFile replaces a file, gathered in one
// table so that tests can fail any step of a save (or kill the writer there).
// Production code never swaps the table: every replacement uses the real calls.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

namespace quillon::container {

struct FileCalls {
  int (*openat)(int dirFd, const char* name, int flags, mode_t mode);  // the directory and the new file
  ssize_t (*write)(int fd, const void* data, size_t size);
  int (*fsync)(int fd);  // the new file and the directory
  int (*renameat)(int fromDirFd, const char* from, int toDirFd, const char* to);
  int (*linkat)(int fromDirFd, const char* from, int toDirFd, const char* to, int flags);
  int (*unlinkat)(int dirFd, const char* name, int flags);
};

// The table in use: the real calls unless a ScopedFileCalls is alive.
const FileCalls& CurrentFileCalls() noexcept;
const FileCalls& RealFileCalls() noexcept;

// For tests: replacements use `calls` until this object goes. Not for use while
// another thread replaces a file.
class ScopedFileCalls {
 public:
  explicit ScopedFileCalls(const FileCalls& calls) noexcept;
  ~ScopedFileCalls();
  ScopedFileCalls(const ScopedFileCalls&) = delete;
  ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

 private:
  const FileCalls* previous_;
};

}  // namespace quillon::container
