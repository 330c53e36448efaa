// The lock every writer of a drive's container holds across "reload if the
// container changed, process, save": an exclusive flock(2) on the drive's root
// directory. The container itself is replaced by rename, so a lock on it would
// sit on a file that the next save takes away; the directory stays, and flock
// works on it on every file system a stick carries (vfat included). Separate
// processes (the reader inside pcscd, quillon-card) and separate holders in one
// process exclude each other alike: each holder opens the directory anew.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "base/FileHandle.h"

namespace quillon::container {

class DriveLock {
 public:
  // How long a command-line writer waits for another program's command to end.
  static constexpr std::chrono::milliseconds kWriterWait{5000};
  // How long the reader waits inside one transmit before failing that command.
  static constexpr std::chrono::milliseconds kReaderWait{1000};

  enum class Outcome { kLocked, kTimedOut, kFailed };

  // Locks the directory `drive`, waiting at most `wait` for whoever holds it.
  DriveLock(const std::string& drive, std::chrono::milliseconds wait);

  bool locked() const noexcept { return outcome_ == Outcome::kLocked; }
  Outcome outcome() const noexcept { return outcome_; }
  // The errno of a kFailed lock (the directory cannot be opened or locked).
  int error() const noexcept { return error_; }
  // A lock that was not had as a Win32 error: ERROR_SHARING_VIOLATION when
  // another program kept it, else the error of taking it (never 0).
  std::uint32_t win32Error() const noexcept;

 private:
  FileHandle directory_;  // closing it releases the lock
  Outcome outcome_ = Outcome::kFailed;
  int error_ = 0;
};

}  // namespace quillon::container
