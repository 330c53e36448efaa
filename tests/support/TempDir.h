// Scratch state of a test that must not outlive it: a fresh directory, the
// working directory and the file size limit, each restored or removed by its
// destructor, so a failed assertion leaves nothing behind.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <string>

namespace quillon::test {

// The directory temporary files go to: $TMPDIR, else /tmp.
std::string temporaryRoot();

// A directory of a unique name under `base` (as mkdtemp makes it), removed with all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& base = temporaryRoot());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Makes `dir` the working directory until destroyed.
class ScopedCurrentPath {
 public:
  explicit ScopedCurrentPath(const std::filesystem::path& dir);
  ~ScopedCurrentPath();
  ScopedCurrentPath(const ScopedCurrentPath&) = delete;
  ScopedCurrentPath& operator=(const ScopedCurrentPath&) = delete;

 private:
  std::filesystem::path previous_;
};

// Lowers the soft file size limit (RLIMIT_FSIZE) to `bytes` and ignores SIGXFSZ,
// so a write past it fails with EFBIG; both restored when destroyed.
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes);
  ~ScopedFileSizeLimit();
  ScopedFileSizeLimit(const ScopedFileSizeLimit&) = delete;
  ScopedFileSizeLimit& operator=(const ScopedFileSizeLimit&) = delete;

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
};

}  // namespace quillon::test
