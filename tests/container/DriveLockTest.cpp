// The drive lock: one holder at a time, whether in one process or in several; a
// holder that stays makes a timeout, a drive that cannot be opened a failure.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "container/DriveLock.h"

namespace quillon::container {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(DriveLock, OneHolderAtATimeAndATimeoutIsNotAFailure) {
  const fs::path drive = fs::temp_directory_path() / ("quillon-drivelock-" + std::to_string(::getpid()));
  fs::create_directories(drive);
  {
    const DriveLock first(drive.string(), 0ms);
    EXPECT_TRUE(first.locked());
    const auto start = Clock::now();
    const DriveLock second(drive.string(), 200ms);
    EXPECT_EQ(second.outcome(), DriveLock::Outcome::kTimedOut);
    EXPECT_GE(Clock::now() - start, 200ms);
  }
  EXPECT_TRUE(DriveLock(drive.string(), 0ms).locked());  // released with its holder

  std::ofstream(drive / "file") << "x";
  struct Case {
    fs::path path;
    int error;
  };
  for (const Case& c : {Case{drive / "missing", ENOENT}, Case{drive / "file", ENOTDIR}}) {
    const auto start = Clock::now();
    const DriveLock lock(c.path.string(), 5s);
    EXPECT_EQ(lock.outcome(), DriveLock::Outcome::kFailed) << c.path;
    EXPECT_EQ(lock.error(), c.error) << c.path;
    EXPECT_LT(Clock::now() - start, 1s);  // nothing to wait for
  }
  fs::remove_all(drive);
}

}  // namespace
}  // namespace quillon::container
