// Replacements racing the directory: a clear output against what sits or
// appears at its name (an old output, a planted symbolic link, a directory); a
// writer whose temporary file another writer's sweep takes before it is locked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>

#include "container/AtomicFile.h"
#include "container/internal/FileCalls.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using container::RealFileCalls;

// Plants a symbolic link at the name just before each of the first `traps`
// links, as a local attacker racing the writer would.
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

// Another process replaces `rivalPath` right after this one creates its first
// temporary file, before this one can lock it.
std::string rivalPath;
bool rivalled = false;

const container::FileCalls kRivalCalls = [] {
  container::FileCalls calls = RealFileCalls();
  calls.openat = [](int dirFd, const char* name, int flags, mode_t mode) {
    const int fd = RealFileCalls().openat(dirFd, name, flags, mode);
    if ((flags & O_CREAT) != 0 && fd >= 0 && !std::exchange(rivalled, true)) {
      const ChildResult rival = runForked([] {
        container::ScopedFileCalls real(RealFileCalls());
        return container::ReplaceFileAtomically(rivalPath, Bytes(100, 0x22)).ok() ? 0 : 1;
      });
      EXPECT_TRUE(rival.exitedWith(0)) << rival.exitCode;
    }
    return fd;
  };
  return calls;
}();

class ReplaceRaceTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(victim) << "the victim's own"; }
  void expectVictimUntouched() {
    const Bytes bytes = readFileBytes(victim.string());
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "the victim's own");
    EXPECT_EQ(fileNames(dir).size(), 2u);
  }

  TempDir scratch;
  const fs::path dir = scratch.path(), output = dir / "Quillon.decrypted.xml.txt", victim = dir / "victim";
  const Bytes secret = fromHex("3C47494453 2F3E");
};

TEST_F(ReplaceRaceTest, ALinkPlantedAtTheNameIsRemovedNotFollowedAndTheRaceIsBounded) {
  std::ofstream(output) << "an earlier run's output, which goes";
  ::chmod(output.c_str(), 0644);
  trap = {victim.string(), 2, 0};
  {
    container::ScopedFileCalls trapping(kTrappingCalls);
    ASSERT_TRUE(container::ReplaceClearFile(output.string(), secret).ok());
  }
  EXPECT_EQ(trap.links, 3);
  struct stat info {};
  ASSERT_EQ(::lstat(output.c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(readFileBytes(output.string()), secret);
  expectVictimUntouched();

  // A name that never stays free: the writer gives up with nothing written anywhere.
  trap = {victim.string(), 1000, 0};
  {
    container::ScopedFileCalls trapping(kTrappingCalls);
    const container::ReplaceResult result = container::ReplaceClearFile(output.string(), secret);
    EXPECT_EQ(result.step, container::ReplaceStep::kRename);
    EXPECT_EQ(result.error, EEXIST);
  }
  EXPECT_GT(trap.links, 1);
  EXPECT_LT(trap.links, 100);
  expectVictimUntouched();

  // A directory at the name is not the writer's to remove.
  fs::remove(output);
  fs::create_directories(output / "inside");
  EXPECT_EQ(container::ReplaceClearFile(output.string(), secret).step, container::ReplaceStep::kRename);
  EXPECT_TRUE(fs::is_directory(output / "inside"));
  expectVictimUntouched();
}

TEST_F(ReplaceRaceTest, ATemporaryFileSweptBeforeItsLockIsGivenUpForAnother) {
  rivalPath = (dir / "Quillon2.bin").string();
  {
    container::ScopedFileCalls rivalling(kRivalCalls);
    const container::ReplaceResult result = container::ReplaceFileAtomically(rivalPath, secret);
    EXPECT_TRUE(result.ok()) << static_cast<int>(result.step) << " " << result.error;
  }
  EXPECT_TRUE(rivalled);
  EXPECT_EQ(readFileBytes(rivalPath), secret);  // the later writer's content
  EXPECT_EQ(fileNames(dir).size(), 2u);
}

}  // namespace
}  // namespace quillon::test
