// Crash safety of a save: the new container is on the device before its name
// is, and a failure at each file operation leaves the old card or the new one
// and nothing beside it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "base/FileHandle.h"
#include "container/AtomicFile.h"
#include "container/FilePersist.h"
#include "container/internal/FileCalls.h"
#include "gids/GidsAppletInstaller.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

using container::RealFileCalls;

const std::string kVerifyPin = std::string("0020008004") + kTestPin;

enum class Call { kOpenDirectory, kCreate, kWrite, kFlush, kRename, kFlushDirectory };
enum class Action { kFail, kShortWrite, kWriteNothing, kFillDisk /* a short write, then ENOSPC */ };

// The fault in force (global: the seam's entries are plain functions).
struct Injection {
  Call call = Call::kCreate;
  Action action = Action::kFail;
  int error = 0;
  int remaining = 0;  // calls still to hit
  int hits = 0;
} injection;

bool hit(Call call) {
  if (injection.call != call || injection.remaining == 0) return false;
  --injection.remaining;
  ++injection.hits;
  return true;
}

int failWith(int error) {
  errno = error;
  return -1;
}

const container::FileCalls kFaultyCalls{
    [](int dirFd, const char* name, int flags, mode_t mode) {
      if (hit((flags & O_CREAT) != 0 ? Call::kCreate : Call::kOpenDirectory)) return failWith(injection.error);
      return RealFileCalls().openat(dirFd, name, flags, mode);
    },
    [](int fd, const void* data, size_t size) -> ssize_t {
      if (!hit(Call::kWrite)) return RealFileCalls().write(fd, data, size);
      switch (injection.action) {
        case Action::kFail: return failWith(injection.error);
        case Action::kWriteNothing: return 0;
        case Action::kFillDisk:
          if (injection.hits > 1) return failWith(ENOSPC);
          [[fallthrough]];
        case Action::kShortWrite: return RealFileCalls().write(fd, data, size > 1 ? size / 2 : size);
      }
      return failWith(EIO);
    },
    [](int fd) {
      struct stat info {};
      const bool directory = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
      if (hit(directory ? Call::kFlushDirectory : Call::kFlush)) return failWith(injection.error);
      return RealFileCalls().fsync(fd);
    },
    [](int fromDirFd, const char* from, int toDirFd, const char* to) {
      if (hit(Call::kRename)) return failWith(injection.error);
      return RealFileCalls().renameat(fromDirFd, from, toDirFd, to);
    },
    RealFileCalls().linkat,
    RealFileCalls().unlinkat,
};

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

class SaveCrashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GidsApplet::install(card);
    personaliseCard(card);
  }
  FilePersist device() const { return FilePersist("0401A5C3E7F2", "Brindle", "Flash Disk", "1.00", drive.string()); }
  // Loads the container as a new session does, without saving back.
  bool load(JCRuntimeImpl& runtime) {
    FilePersist persist = device();
    FileHandle fd(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
    return fd.valid() && persist.loadInto(runtime, installer, fd.get()) == 0;
  }
  std::string storedDocument() {
    JCRuntimeImpl runtime;
    return load(runtime) ? document(runtime) : std::string();
  }
  static std::string document(IJCRuntime& runtime) {
    const auto xml = FilePersist::snapshotHeap(runtime);
    return xml ? std::string(xml->begin(), xml->end()) : std::string();
  }
  std::set<std::string> strayFiles() const { return fileNames(drive, FilePersist::kContainerName); }

  TempDir scratch;
  const std::filesystem::path& drive = scratch.path();
  const std::filesystem::path container = drive / FilePersist::kContainerName;
  JCRuntimeImpl card;  // no persistence of its own: the tests save it
  GidsAppletInstaller installer;
};

TEST_F(SaveCrashTest, AFailureAtAnyStepLeavesTheOldCardOrTheNewOneAndNoTemporaryFile) {
  struct Row {
    const char* what;
    Call call;
    Action action;
    int error;
    int times;
    bool landed;          // the new card is in place afterwards
    const char* failure;  // the trace of a failed save; nullptr: the save succeeds
  };
  const Row rows[] = {
      {"directory not opened", Call::kOpenDirectory, Action::kFail, EMFILE, 1, false, "CreateFileW failed"},
      {"no space to create", Call::kCreate, Action::kFail, ENOSPC, 1, false, "CreateFileW failed"},
      {"a name already taken", Call::kCreate, Action::kFail, EEXIST, 1, true, nullptr},
      {"every name taken", Call::kCreate, Action::kFail, EEXIST, 1000, false, "CreateFileW failed"},
      {"no space to write", Call::kWrite, Action::kFail, ENOSPC, 1, false, "WriteFile failed"},
      {"disk full midway", Call::kWrite, Action::kFillDisk, 0, 1000, false, "WriteFile failed"},
      {"interrupted writes", Call::kWrite, Action::kFail, EINTR, 3, true, nullptr},
      {"short writes", Call::kWrite, Action::kShortWrite, 0, 1000, true, nullptr},
      {"a write of nothing", Call::kWrite, Action::kWriteNothing, 0, 1, false, "WriteFile failed"},
      {"flush fails", Call::kFlush, Action::kFail, EIO, 1, false, "FlushFileBuffers failed"},
      {"rename fails", Call::kRename, Action::kFail, EIO, 1, false, "MoveFileExW failed"},
      {"directory flush fails", Call::kFlushDirectory, Action::kFail, EIO, 1, true,
       "FlushFileBuffers (directory) failed"},
      {"directory cannot be flushed", Call::kFlushDirectory, Action::kFail, EINVAL, 1, true, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    std::filesystem::remove(container);
    ASSERT_EQ(device().save(card), 0u);
    const std::string before = document(card);
    ASSERT_EQ(storedDocument(), before);
    ASSERT_EQ(transmitHex(card, "002000800431313131").sw, 0x63C2);  // a wrong PIN changes the card
    const std::string after = document(card);

    FilePersist persist = device();
    std::uint32_t hr = 0;
    {
      TraceCapture capture(trace::kError);
      injection = {row.call, row.action, row.error, row.times, 0};
      container::ScopedFileCalls faulty(kFaultyCalls);
      hr = persist.save(card);
      EXPECT_GT(injection.hits, 0) << "the fault was never met";
      if (row.failure != nullptr) {
        EXPECT_EQ(capture.sink().count(row.failure), 1u);
      }
    }
    EXPECT_EQ(hr != 0, row.failure != nullptr) << std::hex << hr;
    EXPECT_EQ(storedDocument(), row.landed ? after : before);
    EXPECT_TRUE(strayFiles().empty());
    // A failed save did not count as written: the next one writes the new card.
    EXPECT_EQ(persist.save(card), 0u);
    EXPECT_EQ(storedDocument(), after);
    ASSERT_EQ(transmitHex(card, kVerifyPin).sw, 0x9000);  // three tries again
  }
}

TEST_F(SaveCrashTest, TheNewFileIsSyncedWholeBeforeItTakesTheName) {
  ASSERT_EQ(device().save(card), 0u);
  ASSERT_EQ(transmitHex(card, "002000800431313131").sw, 0x63C2);
  syncLog = {};
  {
    container::ScopedFileCalls watching(kWatchingCalls);
    ASSERT_EQ(device().save(card), 0u);
    // The clear outputs of the decryption tool: an unnamed file linked in place.
    ASSERT_TRUE(container::ReplaceClearFile((drive / "clear.xml").string(), Bytes(5000, 0x3C)).ok());
  }
  EXPECT_EQ(syncLog.named, 2);
  EXPECT_EQ(syncLog.namedUnsynced, 0) << "named before its content was on the device";
  EXPECT_EQ(storedDocument(), document(card));
}

}  // namespace
}  // namespace quillon::test
