// Which mounts are new: by mount ID together with device and mount point, only
// visible whole-volume mounts of block devices, a table that cannot be read
// changing nothing.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "reader/MountWatch.h"
#include "support/SysfsTree.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

class MountWatchTest : public ::testing::Test {
 protected:
  void writeTable(const std::string& text) {
    fs::create_directories(tree.root() / "proc" / "self");
    std::ofstream(tree.root() / "proc" / "self" / "mountinfo", std::ios::binary | std::ios::trunc) << text;
  }
  // The IDs of the fresh mounts of one look, or "unread".
  std::string freshIds() {
    const reader::MountWatch::Look look = watch.look(tree.paths());
    if (!look.ok) return "unread";
    std::string ids;
    for (const reader::VolumeMount& mount : look.fresh) {
      if (!ids.empty()) ids += ',';
      ids += std::to_string(mount.id);
    }
    return ids;
  }

  SysfsTree tree;
  reader::MountWatch watch;
};

constexpr const char* kProc = "21 26 0:20 / /proc rw - proc proc rw\n";
constexpr const char* kStick = "40 26 8:17 / /media/STICK rw - vfat /dev/sdb1 rw\n";

TEST_F(MountWatchTest, NewMountsAreTheOnesNotSeenAtTheLastLook) {
  writeTable(std::string(kProc) + kStick +
             "41 26 8:33 /sub /media/SUB rw - vfat /dev/sdc1 rw\n"  // a directory of a volume
             "42 26 8:49 / /media/HIDDEN rw - vfat /dev/sdd1 rw\n"
             "43 26 8:65 / /media/HIDDEN rw - vfat /dev/sde1 rw\n");  // hides 42
  EXPECT_EQ(freshIds(), "40,43");                                     // at the first look, every volume mount
  EXPECT_EQ(freshIds(), "");

  const struct {
    const char* what;
    std::string table;
    const char* fresh;
  } steps[] = {
      {"unmounted", kProc, ""},
      {"the ID reused for another device", std::string(kProc) + "40 26 8:33 / /media/STICK rw - vfat /dev/sdc1 rw\n",
       "40"},
      {"the ID reused at another point", std::string(kProc) + "40 26 8:33 / /media/OTHER rw - vfat /dev/sdc1 rw\n",
       "40"},
  };
  for (const auto& step : steps) {
    writeTable(step.table);
    EXPECT_EQ(freshIds(), step.fresh) << step.what;
  }

  // A table that cannot be read changes nothing: the next look compares with the last good one.
  fs::remove(tree.root() / "proc" / "self" / "mountinfo");
  EXPECT_EQ(freshIds(), "unread");
  writeTable(std::string(kProc) + "40 26 8:33 / /media/OTHER rw - vfat /dev/sdc1 rw\n" +
             "46 26 8:49 / /media/NEW rw - vfat /dev/sdd1 rw\n");
  EXPECT_EQ(freshIds(), "46");
}

}  // namespace
}  // namespace quillon::test
