// The drive lock: a holder that stays makes a timeout, a drive that cannot be
// opened a failure at once.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "container/DriveLock.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using namespace std::chrono_literals;

TEST(DriveLock, AHeldLockTimesOutAndADriveThatCannotBeOpenedFailsAtOnce) {
  const test::ScratchDir scratch;
  const std::string drive = scratch.path().string();
  {
    const DriveLock first(drive, 0ms);
    EXPECT_TRUE(first.locked());
    EXPECT_EQ(DriveLock(drive, 100ms).outcome(), DriveLock::Outcome::kTimedOut);
  }
  EXPECT_TRUE(DriveLock(drive, 0ms).locked());  // released with its holder

  std::ofstream(scratch.path() / "file") << "x";
  for (const auto& [name, error] : {std::pair{"missing", ENOENT}, std::pair{"file", ENOTDIR}}) {
    const auto start = std::chrono::steady_clock::now();
    const DriveLock lock((scratch.path() / name).string(), 5s);
    EXPECT_EQ(lock.outcome(), DriveLock::Outcome::kFailed) << name;
    EXPECT_EQ(lock.error(), error) << name;
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s) << name;  // nothing to wait for
  }
}

}  // namespace
}  // namespace quillon::container
