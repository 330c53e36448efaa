// The decryption tool's clear outputs appear whole and owner-only; where there
// are no unnamed files (vfat) a killed run leaves a hidden temporary file that
// the next run removes.
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
#include "personalise/CreateSecureContainer.h"
#include "personalise/DecryptSecureContainer.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using container::RealFileCalls;

// The write a child dies halfway through (1 the payload, 2 the document), and writes so far.
int g_killAtWrite = 0, g_writes = 0;

// A file system without unnamed files (O_TMPFILE), as vfat.
const container::FileCalls kSeamCalls{
    [](int dirFd, const char* name, int flags, mode_t mode) {
      if ((flags & O_TMPFILE) != O_TMPFILE) return RealFileCalls().openat(dirFd, name, flags, mode);
      errno = EOPNOTSUPP;
      return -1;
    },
    [](int fd, const void* data, size_t size) {
      if (++g_writes == g_killAtWrite) {
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

TEST(ClearOutputTest, AKilledRunLeavesNoClearTextUnderTheNameAndTheNextRunSweepsItsTemporaryFile) {
  const test::TempDir scratch;
  const fs::path dir = scratch.path();
  const DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  const std::uint8_t adminKey[24] = {1, 2, 3};
  ASSERT_EQ(CreateSecureContainer("1234", adminKey, "00112233445566778899AABBCCDDEEFF", dir.string(), &identity), 0u);
  const auto run = [&](int killAtWrite) {
    return test::runForked([&] {
      if (::chdir(dir.c_str()) != 0) return 11;
      ::umask(022);  // the usual one: owner-only must come from the writer
      g_killAtWrite = killAtWrite;
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
  // Killed writing the document where there are no unnamed files (vfat): it is under a hidden name.
  ASSERT_TRUE(run(2).killedBy(SIGKILL));
  EXPECT_EQ(listing(), (std::set<std::string>{kDecryptedPayloadFile, "temporary"}));
  ASSERT_TRUE(run(0).exitedWith(0));
  EXPECT_EQ(listing(), (std::set<std::string>{kDecryptedPayloadFile, kDecryptedXmlFile}));
  struct stat info {};
  ASSERT_EQ(::lstat((dir / kDecryptedXmlFile).c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  const test::Bytes text = test::readFileBytes((dir / kDecryptedXmlFile).string());
  EXPECT_NE(std::string(text.begin(), text.end()).find("<GidsFileSystem"), std::string::npos);
}

}  // namespace
}  // namespace quillon
