// The decryption tool's clear outputs, written by an ordinary user, appear whole
// and owner-only; a killed run leaves them under no name, or where there are no
// unnamed files (vfat) a hidden temporary file that the next run removes.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "base/FileHandle.h"
#include "container/CabinetCodec.h"
#include "container/FilePersist.h"
#include "container/internal/FileCalls.h"
#include "gids/GidsAppletInstaller.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/DecryptSecureContainer.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using container::RealFileCalls;

constexpr uid_t kNobody = 65534;

// What the seam does to the run of the child it is installed in.
struct Seam {
  int tmpfileError = 0;  // O_TMPFILE fails with this
  int linkError = 0;     // linking the unnamed file fails with this
  int killAtWrite = 0;   // the run dies halfway through this write (1 the payload, 2 the document)
  int writes = 0;
} seam;

const container::FileCalls kSeamCalls{
    [](int dirFd, const char* name, int flags, mode_t mode) {
      if ((flags & O_TMPFILE) != O_TMPFILE || seam.tmpfileError == 0)
        return RealFileCalls().openat(dirFd, name, flags, mode);
      errno = seam.tmpfileError;
      return -1;
    },
    [](int fd, const void* data, size_t size) {
      if (++seam.writes == seam.killAtWrite) {
        (void)RealFileCalls().write(fd, data, size / 2);
        ::raise(SIGKILL);
      }
      return RealFileCalls().write(fd, data, size);
    },
    RealFileCalls().fsync,
    RealFileCalls().renameat,
    [](int fromDirFd, const char* from, int toDirFd, const char* to, int flags) {
      if (seam.linkError == 0) return RealFileCalls().linkat(fromDirFd, from, toDirFd, to, flags);
      errno = seam.linkError;
      return -1;
    },
    RealFileCalls().unlinkat,
};

class ClearOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::uint8_t adminKey[24] = {1, 2, 3};
    ASSERT_EQ(CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", dir.string(), &identity), 0u);
    FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                        identity.revision.c_str(), dir.string());
    GidsAppletInstaller installer;
    const auto runtime = persist.createRuntime(installer);
    const auto xml = FilePersist::snapshotHeap(*runtime);
    ASSERT_TRUE(xml);
    document.assign(xml->begin(), xml->end());
    if (::geteuid() == 0) {
      ASSERT_EQ(::chown(dir.c_str(), kNobody, kNobody), 0);
      ASSERT_EQ(::chown((dir / FilePersist::kContainerName).c_str(), kNobody, kNobody), 0);
    }
  }
  // Runs the tool in `dir` as nobody under `given`, in a child process.
  test::ChildResult runAsNobody(const Seam& given) {
    return test::runForked([&] {
      if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0))
        return 10;
      if (::chdir(dir.c_str()) != 0) return 11;
      ::umask(022);  // the usual one: owner-only must come from the writer
      seam = given;
      container::ScopedFileCalls calls(kSeamCalls);
      return DecryptSecureContainer(dir.string(), &identity) == 0 ? 0 : 1;
    });
  }

  // The directory's entries besides the container, temporary files by kind.
  std::set<std::string> listing() const {
    std::set<std::string> names;
    for (std::string name : test::fileNames(dir, FilePersist::kContainerName)) {
      if (name[0] == '.')
        name = name.starts_with(std::string(".") + kDecryptedPayloadFile) ? "payload temporary" : "document temporary";
      names.insert(name);
    }
    return names;
  }

  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  test::TempDir scratch;
  const fs::path dir = scratch.path();
  std::string document;
};

TEST_F(ClearOutputTest, AKilledRunLeavesNoNamedTemporaryWhereUnnamedFilesExistAndTheNextRunSweepsTheRest) {
  struct Row {
    const char* what;
    Seam seam;
    std::set<std::string> leftByKill;
  };
  const Row rows[] = {
      {"unnamed file, killed writing the payload", {0, 0, 1}, {}},
      {"unnamed file, killed writing the document", {0, 0, 2}, {kDecryptedPayloadFile}},
      {"no unnamed files in the file system (vfat)", {EOPNOTSUPP, 0, 1}, {"payload temporary"}},
      {"a kernel without unnamed files", {EISDIR, 0, 2}, {kDecryptedPayloadFile, "document temporary"}},
      // The unnamed file is written (write 1) but cannot be linked: written again under a name.
      {"no /proc to link through", {0, ENOENT, 2}, {"payload temporary"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const test::ChildResult killed = runAsNobody(row.seam);
    ASSERT_TRUE(killed.killedBy(SIGKILL)) << killed.exitCode << killed.err;
    EXPECT_EQ(listing(), row.leftByKill);

    Seam whole = row.seam;
    whole.killAtWrite = 0;
    const test::ChildResult finished = runAsNobody(whole);
    ASSERT_TRUE(finished.exitedWith(0)) << finished.exitCode << finished.err;
    EXPECT_EQ(listing(), (std::set<std::string>{kDecryptedPayloadFile, kDecryptedXmlFile}));
    for (const char* name : {kDecryptedPayloadFile, kDecryptedXmlFile}) {
      struct stat info {};
      ASSERT_EQ(::lstat((dir / name).c_str(), &info), 0) << name;
      EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
      EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
      EXPECT_TRUE(::geteuid() != 0 || info.st_uid == kNobody) << name;
    }
    const test::Bytes xml = test::readFileBytes((dir / kDecryptedXmlFile).string());
    EXPECT_EQ(std::string(xml.begin(), xml.end()), document);
    const test::Bytes payload = test::readFileBytes((dir / kDecryptedPayloadFile).string());
    ossl::SecureBytes unpacked;
    ASSERT_EQ(container::CabinetDecompress(payload.data(), payload.size(), unpacked), 0u);
    EXPECT_EQ(std::string(unpacked.begin(), unpacked.end()), document);
    fs::remove(dir / kDecryptedPayloadFile);
    fs::remove(dir / kDecryptedXmlFile);
  }
}

}  // namespace
}  // namespace quillon
