// Replacements against what else happens in the directory: a clear output
// against what may sit at, or appear at, its name (an old output, a symbolic link
// planted between the removal and the link, removed in turn and never followed a
// bounded number of times, a directory); a writer whose new temporary file
// another writer's sweep takes away before it is locked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <string>

#include "container/AtomicFile.h"
#include "container/internal/FileCalls.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using container::RealFileCalls;

// Plants a symbolic link at the output's name just before each of the first
// `traps` links, as a local attacker racing the writer would.
struct Trap {
  std::string name;
  std::string target;
  int traps = 0;
  int links = 0;
} trap;

const container::FileCalls kTrappingCalls{
    RealFileCalls().openat,
    RealFileCalls().write,
    RealFileCalls().fsync,
    RealFileCalls().renameat,
    [](int fromDirFd, const char* from, int toDirFd, const char* to, int flags) {
      if (trap.links++ < trap.traps) (void)::symlinkat(trap.target.c_str(), toDirFd, to);
      return RealFileCalls().linkat(fromDirFd, from, toDirFd, to, flags);
    },
    RealFileCalls().unlinkat,
};

// Lets another process replace the same file right after the first temporary
// file of this one is created, before this one can lock it.
struct Rival {
  std::string path;
  Bytes bytes;
  bool done = false;
} rival;

const container::FileCalls kRivalCalls{
    [](int dirFd, const char* name, int flags, mode_t mode) {
      const int fd = RealFileCalls().openat(dirFd, name, flags, mode);
      if ((flags & O_CREAT) != 0 && fd >= 0 && !rival.done) {
        rival.done = true;
        const pid_t child = ::fork();
        if (child == 0) {
          container::ScopedFileCalls real(RealFileCalls());
          ::_exit(container::ReplaceFileAtomically(rival.path, rival.bytes).ok() ? 0 : 1);
        }
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      }
      return fd;
    },
    RealFileCalls().write,
    RealFileCalls().fsync,
    RealFileCalls().renameat,
    RealFileCalls().linkat,
    RealFileCalls().unlinkat,
};

class ReplaceRaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/quillon-race-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    output = dir / "Quillon.decrypted.xml.txt";
    victim = dir / "victim";
    std::ofstream(victim) << "the victim's own";
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  std::string content(const fs::path& path) const {
    const Bytes bytes = readFileBytes(path.string());
    return std::string(bytes.begin(), bytes.end());
  }
  std::size_t entries() const {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++n;
    return n;
  }

  fs::path dir, output, victim;
  const Bytes secret = fromHex("3C47494453 2F3E");
};

TEST_F(ReplaceRaceTest, ALinkPlantedAtTheNameIsRemovedNotFollowedAndTheRaceIsBounded) {
  std::ofstream(output) << "an earlier run's output, which goes";
  ::chmod(output.c_str(), 0644);
  trap = {output.filename().string(), victim.string(), 2, 0};
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
  EXPECT_EQ(content(victim), "the victim's own");
  EXPECT_EQ(entries(), 2u);

  // A name that never stays free: the writer gives up with nothing written anywhere.
  trap = {output.filename().string(), victim.string(), 1000, 0};
  {
    container::ScopedFileCalls trapping(kTrappingCalls);
    const container::ReplaceResult result = container::ReplaceClearFile(output.string(), secret);
    EXPECT_EQ(result.step, container::ReplaceStep::kRename);
    EXPECT_EQ(result.error, EEXIST);
  }
  EXPECT_GT(trap.links, 1);
  EXPECT_LT(trap.links, 100);
  EXPECT_TRUE(fs::is_symlink(output));
  EXPECT_EQ(content(victim), "the victim's own");
  EXPECT_EQ(entries(), 2u);

  // A directory at the name is not the writer's to remove.
  fs::remove(output);
  fs::create_directories(output / "inside");
  const container::ReplaceResult result = container::ReplaceClearFile(output.string(), secret);
  EXPECT_EQ(result.step, container::ReplaceStep::kRename);
  EXPECT_TRUE(fs::is_directory(output / "inside"));
  EXPECT_EQ(entries(), 2u);
}

TEST_F(ReplaceRaceTest, ATemporaryFileSweptBeforeItsLockIsGivenUpForAnother) {
  const fs::path target = dir / "Quillon2.bin";
  rival = {target.string(), Bytes(100, 0x22), false};
  {
    container::ScopedFileCalls rivalling(kRivalCalls);
    const container::ReplaceResult result = container::ReplaceFileAtomically(target.string(), secret);
    EXPECT_TRUE(result.ok()) << static_cast<int>(result.step) << " " << result.error;
  }
  EXPECT_TRUE(rival.done);
  EXPECT_EQ(readFileBytes(target.string()), secret);  // the later writer's content
  EXPECT_EQ(entries(), 2u);
}

}  // namespace
}  // namespace quillon::test
