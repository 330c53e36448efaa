// A drive that cannot be locked fails at once; waiting for a held lock is tested
// through the CLI and the reader.
#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "container/DriveLock.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using namespace std::chrono_literals;

TEST(DriveLock, ADriveThatCannotBeOpenedFailsAtOnce) {
  const test::TempDir scratch;
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
