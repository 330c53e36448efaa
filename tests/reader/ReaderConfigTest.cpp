// The DEVICENAME syntax of the reader.conf.d entry, and the state file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/SysfsTree.h"
#include "reader/ReaderConfig.h"
#include "reader/StateFile.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using reader::EjectedMount;
using reader::parseReaderConfig;
using reader::ReaderConfig;
using reader::RememberedVolume;
using reader::StateFile;
using reader::VolumeIdentity;

TEST(ReaderConfigTest, DefaultsOverridesAndMistakes) {
  ReaderConfig config;
  std::string error;
  ASSERT_TRUE(parseReaderConfig("", config, error));
  EXPECT_EQ(config.statePath, "/var/lib/quillon/reader.state");
  EXPECT_EQ(config.procRoot, "/proc");
  EXPECT_EQ(config.sysRoot, "/sys");

  ASSERT_TRUE(parseReaderConfig("quillon", config, error));
  EXPECT_EQ(config.statePath, "/var/lib/quillon/reader.state");
  ASSERT_TRUE(parseReaderConfig("quillon:state=/tmp/s/state:proc=/tmp/f/proc::sys=/tmp/f/sys:", config, error))
      << error;
  EXPECT_EQ(config.statePath, "/tmp/s/state");
  EXPECT_EQ(config.procRoot, "/tmp/f/proc");
  EXPECT_EQ(config.sysRoot, "/tmp/f/sys");

  // Mistakes are refused and leave the defaults.
  for (const std::string& text : std::vector<std::string>{
           "state=/a",  // without the word pcscd needs to leave the string alone
           "quillon:state=relative/path", "quillon:state=", "quillon:state=/a:state=/b", "quillon:user=/x",
           "quillon:state", "quillons:state=/a", "quillon;state=/a", std::string("quillon:state=/a\0b", 18),
           "quillon" + std::string(ReaderConfig::kMaxLength, ':')}) {
    ReaderConfig refused;
    refused.statePath = "/changed";
    std::string why;
    EXPECT_FALSE(parseReaderConfig(text, refused, why)) << text;
    EXPECT_FALSE(why.empty());
    EXPECT_EQ(refused.statePath, "/var/lib/quillon/reader.state");
  }
}

std::string readText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(StateFileTest, RemembersInAPrivateFileForgetsAndRefusesFilesNotItsOwn) {
  const SysfsTree temporary;  // for its directory
  const fs::path dir = temporary.root();
  const StateFile state((dir / "sub" / "reader.state").string());
  RememberedVolume volume;
  EXPECT_EQ(state.load(volume), 0);  // nothing remembered yet
  EXPECT_TRUE(volume.devicePath.empty());
  const VolumeIdentity stick{" ACME", "Pocket Drive", "", "4C53=01", 1};
  ASSERT_EQ(state.remember({"/sys/devices/x/block/sdb/sdb1", stick}), 0);
  EXPECT_EQ(readText(state.path()),
            "quillon-reader-state 2\nvolume=/sys/devices/x/block/sdb/sdb1\nvendor= ACME\nproduct=Pocket Drive\n"
            "revision=\nserial=4C53=01\npartition=1\n");
  ASSERT_EQ(state.load(volume), 0);
  EXPECT_EQ(volume.devicePath, "/sys/devices/x/block/sdb/sdb1");
  ASSERT_TRUE(volume.identity);
  EXPECT_EQ(*volume.identity, stick);
  struct stat info {};
  ASSERT_EQ(::stat(state.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir / "sub").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // A whole disk, then a volume whose identity could not be read: the first format.
  ASSERT_EQ(state.remember({"/sys/devices/w", VolumeIdentity{"A", "B", "C", "D", 0}}), 0);
  EXPECT_NE(readText(state.path()).find("\npartition=whole\n"), std::string::npos);
  ASSERT_EQ(state.load(volume), 0);
  EXPECT_EQ(volume.identity->partition, 0u);
  ASSERT_EQ(state.remember({"/sys/devices/y", std::nullopt}), 0);
  EXPECT_EQ(readText(state.path()), "quillon-reader-state 1\nvolume=/sys/devices/y\n");
  ASSERT_EQ(state.load(volume), 0);
  EXPECT_EQ(volume.devicePath, "/sys/devices/y");
  EXPECT_FALSE(volume.identity);

  EXPECT_EQ(state.forget(), 0);
  EXPECT_FALSE(fs::exists(state.path()));
  EXPECT_EQ(state.forget(), 0);
  EXPECT_EQ(state.remember({"/sys/a\nvolume=/b", std::nullopt}), EINVAL);
  EXPECT_EQ(state.remember({"/sys/a", VolumeIdentity{"A", "B", "C", "D\npartition=2", 1}}), EINVAL);
  EXPECT_EQ(state.remember({"/sys/a", VolumeIdentity{"A", "B\xC3\xA9", "C", "D", 1}}), EINVAL);
  EXPECT_FALSE(fs::exists(state.path()));

  // A file that is not ours is refused.
  const auto write = [&](const std::string& text) {
    fs::remove(state.path());
    std::ofstream(state.path(), std::ios::binary) << text;
  };
  const std::string v2 = "quillon-reader-state 2\nvolume=/sys/x\n";
  const std::string identity = "vendor=A\nproduct=B\nrevision=C\nserial=D\n";
  for (const std::string& text : std::vector<std::string>{
           "volume=/sys/x\n",
           "quillon-reader-state 1\nvolume=/sys/x",
           "quillon-reader-state 1\nvolume=\n",
           "quillon-reader-state 1\nvolume=/a\n/b\n",
           "quillon-reader-state 3\nvolume=/sys/x\n",
           "quillon-reader-state 1\nvolume=/" + std::string(StateFile::kMaxBytes, 'a') + "\n",
           "quillon-reader-state 1\nvolume=/sys/x\nserial=D\n",              // identity lines under the first header
           v2,                                                               // the second without its identity
           v2 + "vendor=A\nproduct=B\nserial=D\nrevision=C\npartition=1\n",  // out of order
           v2 + identity,                                                    // no partition
           v2 + identity + "partition=0\n",
           v2 + identity + "partition=01\n",
           v2 + identity + "partition=-1\n",
           v2 + identity + "partition=\n",
           v2 + identity + "partition=99999999999\n",
           v2 + identity + "partition=1\nextra=1\n",
           v2 + identity + "partition=1",
           v2 + "vendor=A\xFF\nproduct=B\nrevision=C\nserial=D\npartition=1\n",
           v2 + "vendor=A\tB\nproduct=B\nrevision=C\nserial=D\npartition=1\n",
           v2 + "vendor=" + std::string(300, 'A') + "\nproduct=B\nrevision=C\nserial=D\npartition=1\n"}) {
    write(text);
    EXPECT_EQ(state.load(volume), EINVAL) << text.substr(0, 80);
    EXPECT_TRUE(volume.devicePath.empty());
    EXPECT_FALSE(volume.identity);
  }
  write(v2 + identity + "partition=whole\n");
  EXPECT_EQ(state.load(volume), 0);
  EXPECT_EQ(volume.identity, (VolumeIdentity{"A", "B", "C", "D", 0}));

  // A link is not followed, not even to a well-formed file.
  std::ofstream(dir / "elsewhere", std::ios::binary) << "quillon-reader-state 1\nvolume=/sys/x\n";
  fs::remove(state.path());
  fs::create_symlink(dir / "elsewhere", state.path());
  EXPECT_EQ(state.load(volume), EINVAL);
  EXPECT_TRUE(volume.devicePath.empty());
  // Remembering replaces the link itself.
  ASSERT_EQ(state.remember({"/sys/y", std::nullopt}), 0);
  EXPECT_FALSE(fs::is_symlink(state.path()));
  EXPECT_EQ(state.load(volume), 0);
  EXPECT_EQ(volume.devicePath, "/sys/y");
}

TEST(StateFileTest, EjectedMountsTakeTheThirdFormatOnlyWhileThereAreAny) {
  const SysfsTree temporary;
  const StateFile state((temporary.root() / "reader.state").string());
  const VolumeIdentity stick{"ACME", "Pocket Drive", "1.00", "4C53", 1};
  const std::vector<EjectedMount> ejected{{40, "/sys/devices/x/sdb1"}, {4294967295u, "/sys/devices/y with blank"}};
  RememberedVolume volume;
  const struct {
    RememberedVolume written;
    std::string text;
  } cases[] = {
      {{"", std::nullopt, ejected},
       "quillon-reader-state 3\nejected=40 /sys/devices/x/sdb1\nejected=4294967295 /sys/devices/y with blank\n"},
      {{"/sys/v", std::nullopt, {ejected[0]}},
       "quillon-reader-state 3\nvolume=/sys/v\nejected=40 /sys/devices/x/sdb1\n"},
      {{"/sys/v", stick, {ejected[0]}},
       "quillon-reader-state 3\nvolume=/sys/v\nvendor=ACME\nproduct=Pocket Drive\nrevision=1.00\nserial=4C53\n"
       "partition=1\nejected=40 /sys/devices/x/sdb1\n"},
      // None ejected: the formats an older reader reads.
      {{"/sys/v", stick, {}},
       "quillon-reader-state 2\nvolume=/sys/v\nvendor=ACME\nproduct=Pocket Drive\nrevision=1.00\nserial=4C53\n"
       "partition=1\n"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(state.remember(c.written), 0) << c.text;
    EXPECT_EQ(readText(state.path()), c.text);
    ASSERT_EQ(state.load(volume), 0) << c.text;
    EXPECT_EQ(volume.devicePath, c.written.devicePath);
    EXPECT_EQ(volume.identity, c.written.identity);
    EXPECT_EQ(volume.ejected, c.written.ejected);
  }

  // Nothing to say, an identity without its volume, too many ejected mounts.
  EXPECT_EQ(state.remember({"", std::nullopt, {}}), EINVAL);
  EXPECT_EQ(state.remember({"", stick, ejected}), EINVAL);
  EXPECT_EQ(state.remember({"/sys/v", std::nullopt, {{1, "/a\nvolume=/b"}}}), EINVAL);
  EXPECT_EQ(state.remember({"/sys/v", std::nullopt, {{1, ""}}}), EINVAL);
  EXPECT_EQ(state.remember({"/sys/v", std::nullopt, std::vector<EjectedMount>(StateFile::kMaxEjected + 1, ejected[0])}),
            EINVAL);

  const std::string v3 = "quillon-reader-state 3\n";
  const std::string mount = "ejected=40 /sys/a\n";
  std::string tooMany = v3;
  for (std::size_t i = 0; i <= StateFile::kMaxEjected; ++i) tooMany += mount;
  for (const std::string& text : std::vector<std::string>{
           v3, v3 + "volume=/sys/x\n", v3 + mount + "volume=/sys/x\n", v3 + "vendor=A\n" + mount,
           v3 + "volume=/sys/x\nvendor=A\n" + mount, v3 + "ejected=40\n", v3 + "ejected=40 \n",
           v3 + "ejected= /sys/a\n", v3 + "ejected=-4 /sys/a\n", v3 + "ejected=4294967296 /sys/a\n",
           v3 + "ejected=40 /sys/a", v3 + mount + "extra=1\n", tooMany}) {
    std::ofstream(state.path(), std::ios::binary | std::ios::trunc) << text;
    EXPECT_EQ(state.load(volume), EINVAL) << text.substr(0, 80);
    EXPECT_TRUE(volume.ejected.empty());
  }
}

}  // namespace
}  // namespace quillon::test
