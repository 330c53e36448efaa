// mountinfo as the kernel writes it, and as nobody should: escapes, optional
// fields, malformed lines and floods are parsed or skipped, never trusted.
#include <gtest/gtest.h>

#include <string>

#include "platform/MountInfo.h"

namespace quillon::platform {
namespace {

// Every field of an entry, blank-separated.
std::string fields(const MountEntry& e) {
  return std::to_string(e.major) + ":" + std::to_string(e.minor) + " " + e.root + " " + e.mountPoint + " " + e.fsType +
         " " + e.source;
}

TEST(MountInfo, ParsesKernelLinesWithOptionalFieldsAndEscapes) {
  const auto entries = parseMountInfo(
      "36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n"
      "26 1 8:17 / /media/user/MY\\040STICK\\011x\\134y rw - vfat /dev/sdb1 rw\n"
      "27 1 0:40 / /mnt/empty rw - fuse.thing  rw\n");  // an empty source is allowed
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(fields(entries[0]), "98:0 /mnt1 /mnt2 ext3 /dev/root");
  EXPECT_EQ(fields(entries[1]), "8:17 / /media/user/MY STICK\tx\\y vfat /dev/sdb1");
  EXPECT_EQ(fields(entries[2]), "0:40 / /mnt/empty fuse.thing ");

  std::string out;
  EXPECT_TRUE(unescapeMountField("a\\377b", out));
  EXPECT_EQ(out, "a\377b");
  for (const char* bad : {"a\\400", "a\\000", "a\\08", "a\\04", "a\\"})
    EXPECT_FALSE(unescapeMountField(bad, out)) << bad;
  EXPECT_FALSE(unescapeMountField(std::string_view("a\0b", 3), out));
}

TEST(MountInfo, SkipsMalformedLinesAndKeepsTheRest) {
  const std::string longLine = "31 1 8:33 / /" + std::string(100000, 'x') + " rw - vfat /dev/sdc1 rw\n";
  // Empty optional fields by the million: the separator comes far too late.
  const std::string flood = "49 1 8:26 / /media/i rw" + std::string(1 << 20, ' ') + "- vfat /dev/sdb9 rw\n";
  const std::string text =
      "\ngarbage\n"
      "1 2 3 4 5 6 7 8 9\n"                                     // too few fields
      "40 1 8:18 / /media/a rw shared:1 vfat /dev/sdb2 rw x\n"  // no separator
      "41 1 8-19 / /media/b rw - vfat /dev/sdb3 rw\n"           // bad major:minor
      "43 1 99999999999:1 / /media/d rw - vfat /dev/sdb3 rw\n"  // major overflows
      "44 1 8:20 / /media/e\\9 rw - vfat /dev/sdb4 rw\n"        // bad escape
      "45 1 8:21 / relative rw - vfat /dev/sdb5 rw\n"           // mount point not absolute
      "46 1 8:22 / /media/f rw -\n"                             // nothing after the separator
      "x7 1 8:23 / /media/g rw - vfat /dev/sdb6 rw\n"           // bad id
      "48  1 8:24 / /media/h rw - vfat /dev/sdb7 rw\n" +        // double blank
      flood +
      "30 1 8:17 / /media/user/ACME rw - vfat /dev/sdb1 rw\n" + longLine +
      "50 1 8:25 / /media/last rw - vfat /dev/sdb8 rw";  // no final newline
  const auto entries = parseMountInfo(text);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].mountPoint, "/media/user/ACME");
  EXPECT_EQ(entries[1].mountPoint.size(), 100001u);
  EXPECT_EQ(entries[2].mountPoint, "/media/last");
}

TEST(MountInfo, NormalisesByNameAndFindsTheTopmostMount) {
  std::string out;
  EXPECT_TRUE(normalizeMountPoint("//media/./user/../user//ACME/", out));
  EXPECT_EQ(out, "/media/user/ACME");
  EXPECT_TRUE(normalizeMountPoint("/", out));
  EXPECT_EQ(out, "/");
  EXPECT_FALSE(normalizeMountPoint("media/user", out));
  EXPECT_FALSE(normalizeMountPoint("", out));
  EXPECT_FALSE(normalizeMountPoint(std::string_view("/media\0/x", 9), out));

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
