// A drive's lock held by a test as another program holds it: an exclusive
// flock(2) on the drive's root directory, through a descriptor of its own. Taken
// with flock itself rather than DriveLock, so that what is tested is the lock
// that every program sharing the drive relies on.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>
#include <utility>

namespace quillon::test {

class HeldDriveLock {
 public:
  explicit HeldDriveLock(const std::filesystem::path& drive)
      : fd_(::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
    EXPECT_GE(fd_, 0) << drive;
    EXPECT_EQ(::flock(fd_, LOCK_EX | LOCK_NB), 0) << drive;
  }
  ~HeldDriveLock() {
    if (releaser_.joinable()) releaser_.join();
    release();
  }
  HeldDriveLock(const HeldDriveLock&) = delete;
  HeldDriveLock& operator=(const HeldDriveLock&) = delete;

  void release() {
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
  }
  // Lets go after `delay`, on a thread of its own; touch it no more until it goes.
  void releaseAfter(std::chrono::milliseconds delay) {
    releaser_ = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      release();
    });
  }

 private:
  int fd_;
  std::thread releaser_;
};

}  // namespace quillon::test
