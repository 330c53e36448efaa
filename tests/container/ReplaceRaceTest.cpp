// The decryption tool's clear output against a local attacker who plants a
// symbolic link at its name between the writer's removal and its link: the
// link is removed, never followed, and a name that never stays free is given
// up after a bounded number of tries.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "container/AtomicFile.h"
#include "container/internal/FileCalls.h"
#include "support/TempDir.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using container::RealFileCalls;

struct Trap {
  std::string target;
  int traps = 0;
  int links = 0;
} trap;

const container::FileCalls kTrappingCalls = [] {
  container::FileCalls calls = RealFileCalls();
  calls.linkat = [](int fromDirFd, const char* from, int toDirFd, const char* to, int flags) {
    if (trap.links++ < trap.traps) (void)::symlinkat(trap.target.c_str(), toDirFd, to);
    return RealFileCalls().linkat(fromDirFd, from, toDirFd, to, flags);
  };
  return calls;
}();

TEST(ReplaceRaceTest, ALinkPlantedAtTheNameIsRemovedNotFollowedAndTheRaceIsBounded) {
  TempDir dir;
  const std::filesystem::path output = dir.path() / "Quillon.decrypted.xml.txt", victim = dir.path() / "victim";
  std::ofstream(victim) << "the victim's own";
  const Bytes secret = fromHex("3C47494453 2F3E");
  const auto victimUntouched = [&] {
    const Bytes bytes = readFileBytes(victim.string());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "the victim's own");
  };
  for (const int traps : {2, 1000}) {
    trap = {victim.string(), traps, 0};
    container::ScopedFileCalls trapping(kTrappingCalls);
    const container::ReplaceResult result = container::ReplaceClearFile(output.string(), secret);
    victimUntouched();
    if (traps == 2) {
      EXPECT_TRUE(result.ok());
      EXPECT_EQ(trap.links, 3);
      struct stat info {};
      ASSERT_EQ(::lstat(output.c_str(), &info), 0);
      EXPECT_TRUE(S_ISREG(info.st_mode));
      EXPECT_EQ(info.st_mode & 07777, 0600u);
      EXPECT_EQ(readFileBytes(output.string()), secret);
    } else {  // a name that never stays free: nothing written anywhere
      EXPECT_EQ(result.step, container::ReplaceStep::kRename);
      EXPECT_EQ(result.error, EEXIST);
      EXPECT_GT(trap.links, 1);
      EXPECT_LT(trap.links, 100);
    }
  }
}

}  // namespace
}  // namespace quillon::test
