// Scratch state of a test that must not outlive it: a fresh directory and the file
// size limit, each removed or restored by its destructor, so a failed assertion
// leaves nothing behind.
#pragma once

#include <sys/resource.h>

#include <filesystem>
#include <string>

namespace quillon::test {

// A directory named `prefix` and six random characters in the temporary directory, removed with all it holds.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "quillon-test-");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
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
