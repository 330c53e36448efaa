// Crash safety of a save: the new container, and a clear output of the
// decryption tool, are on the device before they take their name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>

#include "container/AtomicFile.h"
#include "container/FilePersist.h"
#include "container/internal/FileCalls.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using container::RealFileCalls;

// What each regular file held when it was last synced, and every file given
// its name (renamed or linked) before its content was all synced.
struct SyncLog {
  std::map<ino_t, off_t> synced;  // inode: its size at the sync
  int named = 0;
  int namedUnsynced = 0;

  void naming(const struct stat& info, bool found) {
    ++named;
    if (!found || synced.count(info.st_ino) == 0 || synced[info.st_ino] != info.st_size) ++namedUnsynced;
  }
} syncLog;

const container::FileCalls kWatchingCalls{
    RealFileCalls().openat,
    RealFileCalls().write,
    [](int fd) {
      const int rc = RealFileCalls().fsync(fd);
      struct stat info {};
      if (rc == 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) syncLog.synced[info.st_ino] = info.st_size;
      return rc;
    },
    [](int fromDirFd, const char* from, int toDirFd, const char* to) {
      struct stat info {};
      syncLog.naming(info, ::fstatat(fromDirFd, from, &info, AT_SYMLINK_NOFOLLOW) == 0);
      return RealFileCalls().renameat(fromDirFd, from, toDirFd, to);
    },
    [](int fromDirFd, const char* from, int toDirFd, const char* to, int flags) {
      struct stat info {};  // an unnamed file, linked through /proc/self/fd
      syncLog.naming(info, ::fstatat(fromDirFd, from, &info, 0) == 0);
      return RealFileCalls().linkat(fromDirFd, from, toDirFd, to, flags);
    },
    RealFileCalls().unlinkat,
};

TEST(SaveCrashTest, TheNewFileIsSyncedWholeBeforeItTakesTheName) {
  const TempDir drive;
  JCRuntimeImpl card;  // no persistence of its own: the test saves it
  GidsApplet::install(card);
  personaliseCard(card);
  const auto device = [&] {
    return FilePersist("0401A5C3E7F2", "Brindle", "Flash Disk", "1.00", drive.path().string());
  };
  ASSERT_EQ(device().save(card), 0u);
  ASSERT_EQ(transmitHex(card, "002000800431313131").sw, 0x63C2);
  syncLog = {};
  {
    container::ScopedFileCalls watching(kWatchingCalls);
    ASSERT_EQ(device().save(card), 0u);
    ASSERT_TRUE(container::ReplaceClearFile((drive.path() / "clear.xml").string(), Bytes(5000, 0x3C)).ok());
  }
  EXPECT_EQ(syncLog.named, 2);
  EXPECT_EQ(syncLog.namedUnsynced, 0) << "named before its content was on the device";
  EXPECT_EQ(readFileBytes((drive.path() / "clear.xml").string()), Bytes(5000, 0x3C));
}

}  // namespace
}  // namespace quillon::test
