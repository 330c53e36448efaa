// mountinfo as the kernel writes it, and as nobody should: escapes, optional
// fields, malformed lines and floods are parsed or skipped, never trusted.
#include <gtest/gtest.h>

#include <string>

#include "platform/MountInfo.h"
#include "support/TestData.h"

namespace quillon::platform {
namespace {

TEST(MountInfo, ParsesOrSkipsEachLineOfTheVectorFile) {
  for (const auto& r : test::readVecFile("platform/mountinfo.vec")) {
    const auto entries = parseMountInfo(r.at("Line") + "\n");
    std::string got = "-";
    if (entries.size() == 1) {
      const MountEntry& e = entries[0];
      got = std::to_string(e.major) + ":" + std::to_string(e.minor) + " " + e.root + " " + e.mountPoint + " " +
            e.fsType + " " + e.source;
      got.erase(got.find_last_not_of(' ') + 1);
    }
    EXPECT_EQ(got, r.at("Entry")) << r.at("Line");
  }
}

TEST(MountInfo, FloodsAndLongLinesDoNotHideTheRest) {
  // Empty optional fields by the million: the separator comes far too late.
  const std::string flood = "49 1 8:26 / /media/i rw" + std::string(1 << 20, ' ') + "- vfat /dev/sdb9 rw\n";
  const auto entries =
      parseMountInfo("\n" + flood + "30 1 8:17 / /media/user/ACME rw - vfat /dev/sdb1 rw\n31 1 8:33 / /" +
                     std::string(100000, 'x') + " rw - vfat /dev/sdc1 rw");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].mountPoint, "/media/user/ACME");
  EXPECT_EQ(entries[1].mountPoint.size(), 100001u);
  std::string out;
  EXPECT_FALSE(unescapeMountField(std::string_view("a\0b", 3), out));
}

TEST(MountInfo, NormalisesByNameAndFindsTheTopmostMount) {
  std::string out;
  EXPECT_TRUE(normalizeMountPoint("//media/./user/../user//ACME/", out));
  EXPECT_EQ(out, "/media/user/ACME");
  EXPECT_TRUE(normalizeMountPoint("/", out));
  EXPECT_EQ(out, "/");
  for (std::string_view bad : {std::string_view("media/user"), std::string_view(), std::string_view("/media\0/x", 9)})
    EXPECT_FALSE(normalizeMountPoint(bad, out));

  const auto entries = parseMountInfo(
      "30 1 8:17 / /media/x rw - vfat /dev/sdb1 rw\n"
      "31 30 0:50 / /media/x rw - tmpfs tmpfs rw\n"
      "32 1 8:33 / /media/xy rw - vfat /dev/sdc1 rw\n");
  const MountEntry* top = findMount(entries, "/media/x");
  ASSERT_NE(top, nullptr);
  EXPECT_EQ(top->fsType, "tmpfs");
  EXPECT_EQ(findMount(entries, "/media"), nullptr);
  EXPECT_EQ(findMount(entries, "/media/x/sub"), nullptr);
}

}  // namespace
}  // namespace quillon::platform
