#include "support/TempDir.h"

#include <signal.h>
#include <stdlib.h>

#include <stdexcept>

namespace quillon::test {

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "XXXXXX")).string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
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
