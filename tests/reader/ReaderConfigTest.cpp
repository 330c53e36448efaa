// The DEVICENAME of the reader.conf.d entry and the state file: the texts from a
// data file, what the state file writes here.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "reader/ReaderConfig.h"
#include "reader/StateFile.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using reader::EjectedMount;
using reader::RememberedVolume;
using reader::StateFile;
using reader::VolumeIdentity;

TEST(ReaderConfigTest, DevicenamesAndStateFilesFromOutside) {
  const TempDir temporary;
  const StateFile state((temporary.path() / "reader.state").string());
  std::ifstream in(dataPath("reader/state-and-config.txt"));
  std::string kind, verdict, text;
  int cases = 0;
  while (in >> kind >> verdict && std::getline(in >> std::ws, text)) {
    if (kind[0] == '#') continue;
    ++cases;
    const std::string input = unescape(text);
    if (kind == "config") {
      reader::ReaderConfig config;
      std::string error;
      EXPECT_EQ(parseReaderConfig(input, config, error), verdict == "ok") << text.substr(0, 80);
      EXPECT_EQ(error.empty(), verdict == "ok") << text.substr(0, 80);
      EXPECT_TRUE(verdict == "ok" || config.statePath == "/var/lib/quillon/reader.state");
      continue;
    }
    fs::remove(state.path());
    std::ofstream(state.path(), std::ios::binary) << input;
    RememberedVolume volume;
    EXPECT_EQ(state.load(volume), verdict == "ok" ? 0 : EINVAL) << text.substr(0, 80);
    EXPECT_TRUE(verdict == "ok" || (volume.devicePath.empty() && !volume.identity && volume.ejected.empty()));
    if (verdict == "ok") {  // written back as read: in the oldest format that holds it
      ASSERT_EQ(state.remember(volume), 0) << text.substr(0, 80);
      EXPECT_EQ(readFileBytes(state.path()), Bytes(input.begin(), input.end()));
    }
  }
  EXPECT_EQ(cases, 54);  // the whole file was read

  reader::ReaderConfig config;
  std::string error;
  ASSERT_TRUE(parseReaderConfig("quillon:state=/s:proc=/p::sys=/y", config, error));
  EXPECT_EQ(config.statePath + config.procRoot + config.sysRoot, "/s/p/y");
  ASSERT_TRUE(parseReaderConfig("", config, error));
  EXPECT_EQ(config.statePath + config.procRoot + config.sysRoot, "/var/lib/quillon/reader.state/proc/sys");
}

TEST(StateFileTest, WritesAPrivateFileAndRefusesWhatItCouldNotReadBack) {
  const TempDir temporary;
  const StateFile state((temporary.path() / "sub" / "reader.state").string());
  RememberedVolume volume;
  EXPECT_EQ(state.load(volume), 0);  // nothing remembered yet
  const VolumeIdentity stick{" ACME", "Pocket Drive", "", "4C53=01", 1};
  const EjectedMount ejected{40, "/sys/x/sdb1"};
  ASSERT_EQ(state.remember({"/sys/v", stick, {ejected}}), 0);
  struct stat info {};
  ASSERT_EQ(::stat(state.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((temporary.path() / "sub").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  for (const RememberedVolume& refused :
       std::vector<RememberedVolume>{{"", std::nullopt, {}},
                                     {"", stick, {ejected}},
                                     {"/sys/a\nvolume=/b", std::nullopt},
                                     {"/sys/a", VolumeIdentity{"A", "B", "C", "D\npartition=2", 1}},
                                     {"/sys/a", VolumeIdentity{"A", "B\xC3\xA9", "C", "D", 1}},
                                     {"/sys/v", std::nullopt, {{1, ""}}},
                                     {"/sys/v", std::nullopt, std::vector<EjectedMount>(17, ejected)}}) {
    EXPECT_EQ(state.remember(refused), EINVAL) << refused.devicePath;
  }
  EXPECT_EQ(state.remember({"/sys/v", std::nullopt, std::vector<EjectedMount>(16, ejected)}), 0);
  EXPECT_EQ(state.forget(), 0);
  EXPECT_FALSE(fs::exists(state.path()));
  EXPECT_EQ(state.forget(), 0);

  // A link is not followed, not even to a well-formed file; remembering replaces it.
  std::ofstream(temporary.path() / "elsewhere", std::ios::binary) << "quillon-reader-state 1\nvolume=/sys/x\n";
  fs::create_symlink(temporary.path() / "elsewhere", state.path());
  EXPECT_EQ(state.load(volume), EINVAL);
  ASSERT_EQ(state.remember({"/sys/y", std::nullopt}), 0);
  EXPECT_FALSE(fs::is_symlink(state.path()));
}

}  // namespace
}  // namespace quillon::test
