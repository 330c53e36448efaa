// The container's place on a drive, the one way it is opened, and the errno
// mapping every file error goes through.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/Status.h"
#include "container/ContainerFile.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

TEST(ContainerFile, PathIsTheDriveRootWhateverItsTrailingSlashes) {
  EXPECT_EQ(containerPathOn("/media/ACME//"), "/media/ACME/Quillon2.bin");
  EXPECT_EQ(containerPathOn("/"), "/Quillon2.bin");
}

TEST(ContainerFile, OpensOnlyWithoutFollowingLinksOrBlockingOnAFifo) {
  test::TempDir dir;
  const std::string file = (dir.path() / "card").string();
  test::writeFileBytes(file, {1, 2, 3});
  const OpenedContainer regular = openContainer(file);
  EXPECT_TRUE(regular.regular());
  EXPECT_EQ(regular.info.st_size, 3);
  EXPECT_NE(::fcntl(regular.file.get(), F_GETFD) & FD_CLOEXEC, 0);

  const std::string link = (dir.path() / "link").string();
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  const OpenedContainer linked = openContainer(link);
  EXPECT_FALSE(linked.file.valid());
  EXPECT_EQ(linked.error, ELOOP);

  const std::string fifo = (dir.path() / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const OpenedContainer piped = openContainer(fifo);  // returns at once: no writer is waited for
  EXPECT_TRUE(piped.file.valid());
  EXPECT_FALSE(piped.regular());

  EXPECT_EQ(openContainer((dir.path() / "none").string()).error, ENOENT);
}

TEST(ContainerFile, ErrnoBecomesTheHresultOfItsWin32Code) {
  const std::pair<int, std::uint32_t> cases[] = {
      {ENOENT, 0x80070002}, {ENOTDIR, 0x80070003}, {EACCES, 0x80070005}, {EROFS, 0x80070013},
      {ENOSPC, 0x80070070}, {ELOOP, 0x80070781},   {EXDEV, 0x8007001F},  {0, 0x80004005},
  };
  for (const auto& [error, hr] : cases) EXPECT_EQ(status::hresultFromErrno(error), hr) << error;
}

}  // namespace
}  // namespace quillon::container
