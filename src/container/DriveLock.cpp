#include "container/DriveLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <thread>

#include "base/Status.h"

namespace quillon::container {

namespace {
// Short enough that a waiter follows a holder closely, long enough not to spin:
// a command holds the lock for some milliseconds.
constexpr std::chrono::milliseconds kPoll{5};
}  // namespace

DriveLock::DriveLock(const std::string& drive, std::chrono::milliseconds wait) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + wait;
  directory_ = FileHandle(::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory_.valid()) {
    error_ = errno;
    return;
  }
  for (;;) {
    if (::flock(directory_.get(), LOCK_EX | LOCK_NB) == 0) {
      outcome_ = Outcome::kLocked;
      return;
    }
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK) {
      error_ = errno;
      directory_.close();
      return;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      outcome_ = Outcome::kTimedOut;
      directory_.close();
      return;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(kPoll, deadline - now));
  }
}

std::uint32_t DriveLock::win32Error() const noexcept {
  if (outcome_ == Outcome::kTimedOut) return status::ERROR_SHARING_VIOLATION;
  const std::uint32_t error = status::win32FromErrno(error_);
  return error != 0 ? error : status::ERROR_GEN_FAILURE;
}

}  // namespace quillon::container
