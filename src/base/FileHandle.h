// An owning POSIX file descriptor: closed when the holder goes, unless release()
// handed it on.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace quillon {

class FileHandle {
 public:
  FileHandle() noexcept = default;
  explicit FileHandle(int fd) noexcept : fd_(fd) {}
  ~FileHandle() { reset(); }
  FileHandle(FileHandle&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileHandle& operator=(FileHandle&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  int release() noexcept { return std::exchange(fd_, -1); }

  // Closes now and gives close()'s errno (0 when it succeeded): a write's error
  // may only surface here.
  int close() noexcept {
    if (fd_ < 0) return 0;
    const int rc = ::close(std::exchange(fd_, -1));
    return rc == 0 ? 0 : errno;
  }

 private:
  void reset() noexcept {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }

  int fd_ = -1;
};

}  // namespace quillon
