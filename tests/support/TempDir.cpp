#include "support/TempDir.h"

#include <signal.h>
#include <stdlib.h>

#include <stdexcept>

namespace quillon::test {

std::string temporaryRoot() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

TempDir::TempDir(const std::string& base) {
  std::string pattern = base + "/quillon-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed in " + base);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedCurrentPath::ScopedCurrentPath(const std::filesystem::path& dir) : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir);
}

ScopedCurrentPath::~ScopedCurrentPath() {
  std::error_code ignored;
  std::filesystem::current_path(previous_, ignored);
}

ScopedFileSizeLimit::ScopedFileSizeLimit(rlim_t bytes) {
  if (::getrlimit(RLIMIT_FSIZE, &previous_) != 0) throw std::runtime_error("getrlimit failed");
  previousHandler_ = ::signal(SIGXFSZ, SIG_IGN);
  rlimit lowered = previous_;
  lowered.rlim_cur = bytes;
  if (::setrlimit(RLIMIT_FSIZE, &lowered) != 0) {
    ::signal(SIGXFSZ, previousHandler_);
    throw std::runtime_error("setrlimit failed");
  }
}

ScopedFileSizeLimit::~ScopedFileSizeLimit() {
  ::setrlimit(RLIMIT_FSIZE, &previous_);
  ::signal(SIGXFSZ, previousHandler_);
}

}  // namespace quillon::test
