// A drive's lock held as another program holds it: flock(2) on the drive's root
// directory through a descriptor of its own (not DriveLock, so that the lock
// every program sharing the drive relies on is what is tested).
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

namespace quillon::test {

class HeldDriveLock {
 public:
  explicit HeldDriveLock(const std::filesystem::path& drive)
      : fd_(::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << drive;
  }
  ~HeldDriveLock() {
    if (releaser_.joinable()) releaser_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  HeldDriveLock(const HeldDriveLock&) = delete;
  HeldDriveLock& operator=(const HeldDriveLock&) = delete;

  // Lets go after `delay`, on a thread of its own.
  void releaseAfter(std::chrono::milliseconds delay) {
    releaser_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      ::flock(fd_, LOCK_UN);
    });
  }

 private:
  int fd_;
  std::thread releaser_;
};

}  // namespace quillon::test
