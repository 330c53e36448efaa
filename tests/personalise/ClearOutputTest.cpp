// The decryption tool's clear outputs appear whole and owner-only; a killed run
// leaves them under no name, or where there are no unnamed files (vfat) a hidden
// temporary file that the next run removes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

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

// What the seam does to the run of the child it is installed in.
struct Seam {
  int tmpfileError = 0;  // O_TMPFILE fails with this
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
    RealFileCalls().linkat,
    RealFileCalls().unlinkat,
};

TEST(ClearOutputTest, AKilledRunLeavesNoNamedTemporaryWhereUnnamedFilesExistAndTheNextRunSweepsTheRest) {
  const test::TempDir scratch;
  const fs::path dir = scratch.path();
  const DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  const std::uint8_t adminKey[24] = {1, 2, 3};
  ASSERT_EQ(CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", dir.string(), &identity), 0u);
  FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                      identity.revision.c_str(), dir.string());
  GidsAppletInstaller installer;
  const auto xml = FilePersist::snapshotHeap(*persist.createRuntime(installer));
  ASSERT_TRUE(xml);
  const auto run = [&](const Seam& given) {
    return test::runForked([&] {
      if (::chdir(dir.c_str()) != 0) return 11;
      ::umask(022);  // the usual one: owner-only must come from the writer
      seam = given;
      container::ScopedFileCalls calls(kSeamCalls);
      return DecryptSecureContainer(dir.string(), &identity) == 0 ? 0 : 1;
    });
  };
  const auto listing = [&] {  // temporary files by their kind
    std::set<std::string> names;
    for (std::string name : test::fileNames(dir, FilePersist::kContainerName))
      names.insert(name[0] == '.' ? "temporary" : name);
    return names;
  };
  const std::pair<Seam, std::set<std::string>> rows[] = {
      {{0, 2}, {kDecryptedPayloadFile}},                        // unnamed files: killed writing the document
      {{EOPNOTSUPP, 2}, {kDecryptedPayloadFile, "temporary"}},  // none in the file system (vfat)
  };
  for (const auto& [given, leftByKill] : rows) {
    SCOPED_TRACE(given.tmpfileError);
    const test::ChildResult killed = run(given);
    ASSERT_TRUE(killed.killedBy(SIGKILL)) << killed.exitCode << killed.err;
    EXPECT_EQ(listing(), leftByKill);
    const test::ChildResult finished = run({given.tmpfileError, 0});
    ASSERT_TRUE(finished.exitedWith(0)) << finished.exitCode << finished.err;
    EXPECT_EQ(listing(), (std::set<std::string>{kDecryptedPayloadFile, kDecryptedXmlFile}));
    for (const char* name : {kDecryptedPayloadFile, kDecryptedXmlFile}) {
      struct stat info {};
      ASSERT_EQ(::lstat((dir / name).c_str(), &info), 0) << name;
      EXPECT_EQ(info.st_mode & 07777, 0600u) << name;
    }
    const test::Bytes text = test::readFileBytes((dir / kDecryptedXmlFile).string());
    EXPECT_EQ(std::string(text.begin(), text.end()), std::string(xml->begin(), xml->end()));
    fs::remove(dir / kDecryptedPayloadFile);
    fs::remove(dir / kDecryptedXmlFile);
  }
}

}  // namespace
}  // namespace quillon
