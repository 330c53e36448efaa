// The container file: a card built through transmit is saved and loaded through
// FilePersist in a directory standing in for a USB drive, is on the device before
// it takes its name, and every damaged or foreign container is refused without
// being overwritten.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "base/FileHandle.h"
#include "container/AtomicFile.h"
#include "container/FilePersist.h"
#include "container/internal/FileCalls.h"
#include "gids/GidsAppletInstaller.h"
#include "support/CardFixture.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using container::RealFileCalls;

// Each regular file's size when it was last synced (by inode), the files given
// a name (renamed or linked), and those named before their content was all synced.
std::map<ino_t, off_t> g_synced;
int g_named = 0, g_namedUnsynced = 0;

void noteNaming(int dirFd, const char* from, int flags) {
  struct stat info {};
  ++g_named;
  if (::fstatat(dirFd, from, &info, flags) != 0 || !g_synced.contains(info.st_ino) ||
      g_synced[info.st_ino] != info.st_size)
    ++g_namedUnsynced;
}

const container::FileCalls kWatchingCalls{
    RealFileCalls().openat,
    RealFileCalls().write,
    [](int fd) {
      const int rc = RealFileCalls().fsync(fd);
      struct stat info {};
      if (rc == 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) g_synced[info.st_ino] = info.st_size;
      return rc;
    },
    [](int fromDirFd, const char* from, int toDirFd, const char* to) {
      noteNaming(fromDirFd, from, AT_SYMLINK_NOFOLLOW);
      return RealFileCalls().renameat(fromDirFd, from, toDirFd, to);
    },
    [](int fromDirFd, const char* from, int toDirFd, const char* to, int flags) {
      noteNaming(fromDirFd, from, 0);  // an unnamed file, linked through /proc/self/fd
      return RealFileCalls().linkat(fromDirFd, from, toDirFd, to, flags);
    },
    RealFileCalls().unlinkat,
};

constexpr const char* kStickSerial = "0401A5C3E7F2";
constexpr const char* kWrongPin = "002000800431313131";
constexpr std::uint32_t kTagMismatch = 0xD000A002;
constexpr std::uint32_t kRefused = 0x8007000D;

class FilePersistTest : public ::testing::Test {
 protected:
  FilePersist device(const char* serial = kStickSerial, const char* vendor = "Brindle") {
    return FilePersist({vendor, "Flash Disk", "1.00", serial}, drive.string());
  }
  Bytes stored() const { return readFileBytes(container.string()); }
  // A personalised card in a runtime served by `persist`, saved after every command.
  std::unique_ptr<JCRuntimeImpl> personalisedCard(FilePersist& persist) {
    auto runtime = persist.createRuntime(installer);
    GidsApplet::install(*runtime);
    personaliseCard(*runtime);
    return runtime;
  }
  std::unique_ptr<JCRuntimeImpl> reload(FilePersist& persist) { return persist.createRuntime(installer); }
  std::set<std::string> strayFiles() const { return fileNames(drive, FilePersist::kContainerName); }
  std::uint32_t loadContainer(FilePersist& persist, JCRuntimeImpl& runtime) {
    FileHandle fd(::open(container.c_str(), O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(fd.valid());
    return persist.loadInto(runtime, installer, fd.get());
  }

  TempDir scratch;
  const fs::path drive = scratch.path(), container = drive / "Quillon2.bin";
  GidsAppletInstaller installer;
};

TEST_F(FilePersistTest, OnlyAChangedStateIsWrittenAndEveryWriteTakesANewNonce) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  EXPECT_EQ(fs::status(container).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(transmitHex(*runtime, kWrongPin).sw, 0x63C2);  // a change: one write
  const Bytes first = stored();
  FilePersist again = device();  // never loaded: its first save always writes
  ASSERT_EQ(again.save(*runtime), 0u);
  const Bytes second = stored();
  EXPECT_NE(Bytes(first.begin(), first.begin() + 12), Bytes(second.begin(), second.begin() + 12));
  // A save right after a load writes nothing.
  FilePersist reader = device();
  auto reloaded = reload(reader);
  ASSERT_NE(reloaded->getApplet(), nullptr);
  EXPECT_EQ(reader.save(*reloaded), 0u);
  EXPECT_EQ(stored(), second);
}

TEST_F(FilePersistTest, SizeLimitsAreCheckedBeforeReading) {
  FilePersist persist = device();
  JCRuntimeImpl runtime;
  writeFileBytes(container, Bytes(27, 0x5A));
  EXPECT_EQ(loadContainer(persist, runtime), 0x80070057u);
  // The largest container (8 MiB) is read (and then fails authentication); one byte more is not read.
  fs::resize_file(container, 8388608);
  EXPECT_EQ(loadContainer(persist, runtime), kTagMismatch);
  fs::resize_file(container, 8388609);
  EXPECT_EQ(loadContainer(persist, runtime), 0x800700DFu);
}

TEST_F(FilePersistTest, DamagedForeignOrUnrestorableContainersAreRefusedAndNeverOverwritten) {
  FilePersist writer = device();
  auto card = personalisedCard(writer);
  const Bytes good = stored();
  Bytes flipped = good;
  flipped.back() ^= 0x80;  // in the tag
  const std::string foreign = "it belongs to another USB stick, or it is damaged";
  const struct {
    std::string what;
    Bytes bytes;
    std::uint32_t hr;
    const char* serial;
    std::string failure;
  } cases[] = {
      {"a changed bit", flipped, kTagMismatch, kStickSerial, foreign},
      {"another device", good, kTagMismatch, "0401A5C3E7F3", foreign},
      {"too short", Bytes(27, 0xA5), 0x80070057u, kStickSerial, "it is too short to hold a card (27 bytes)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    writeFileBytes(container, c.bytes);
    FilePersist persist = device(c.serial);
    JCRuntimeImpl runtime;
    EXPECT_EQ(loadContainer(persist, runtime), c.hr);
    EXPECT_EQ(persist.loadFailure().substr(0, c.failure.size()), c.failure);
    EXPECT_EQ(persist.save(*card), kRefused);
    EXPECT_EQ(stored(), c.bytes);
  }
  EXPECT_TRUE(strayFiles().empty());
  // A new initialisation, which never tried to load it, replaces it.
  FilePersist initialisation = device();
  ASSERT_EQ(initialisation.save(*card), 0u);
  FilePersist reader = device();
  EXPECT_NE(reload(reader)->getApplet(), nullptr);
}

TEST_F(FilePersistTest, FailedWriteLeavesTheOldContainerWhole) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  const Bytes before = stored();
  ASSERT_GT(before.size(), 64u);
  // In a child of its own: a file size limit makes the write fail part-way, as a full disk would.
  const ChildResult child = runForked([&] {
    {
      ScopedFileSizeLimit limit(64);
      if (transmitHex(*runtime, kWrongPin).sw != 0x63C2 || stored() != before || !strayFiles().empty()) return 1;
    }
    // The failed save did not count as written: the next one writes in full.
    return persist.save(*runtime) == 0 ? 0 : 2;
  });
  EXPECT_TRUE(child.exitedWith(0)) << child.exitCode << child.out;
  FilePersist reader = device();
  EXPECT_EQ(transmitHex(*reload(reader), "0020008000").sw, 0x63C2);
}

TEST_F(FilePersistTest, TheNewFileIsSyncedWholeBeforeItTakesTheName) {
  FilePersist persist = device();
  auto runtime = personalisedCard(persist);
  {
    container::ScopedFileCalls watching(kWatchingCalls);
    ASSERT_EQ(transmitHex(*runtime, kWrongPin).sw, 0x63C2);
    ASSERT_TRUE(container::ReplaceClearFile((drive / "clear.xml").string(), Bytes(5000, 0x3C)).ok());
  }
  EXPECT_EQ(g_named, 2);
  EXPECT_EQ(g_namedUnsynced, 0) << "named before its content was on the device";
  EXPECT_EQ(readFileBytes((drive / "clear.xml").string()), Bytes(5000, 0x3C));
}

}  // namespace
}  // namespace quillon::test
