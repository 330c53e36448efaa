// The DEVICENAME syntax of the reader.conf.d entry, and the state file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "reader/ReaderConfig.h"
#include "reader/StateFile.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using reader::parseReaderConfig;
using reader::ReaderConfig;
using reader::StateFile;

TEST(ReaderConfigTest, DefaultsAndOverrides) {
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
}

TEST(ReaderConfigTest, MistakesAreRefusedAndLeaveTheDefaults) {
  for (const std::string& text : std::vector<std::string>{
           "state=/a",  // without the word pcscd needs to leave the string alone
           "quillon:state=relative/path", "quillon:state=", "quillon:state=/a:state=/b", "quillon:user=/x",
           "quillon:state", "quillons:state=/a", "quillon;state=/a", std::string("quillon:state=/a\0b", 18),
           "quillon" + std::string(ReaderConfig::kMaxLength, ':')}) {
    ReaderConfig config;
    config.statePath = "/changed";
    std::string error;
    EXPECT_FALSE(parseReaderConfig(text, config, error)) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(config.statePath, "/var/lib/quillon/reader.state");
  }
}

class StateFileTest : public ::testing::Test {
 protected:
  StateFileTest() {
    std::string pattern = (fs::temp_directory_path() / "quillon-state-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) dir = pattern;
  }
  ~StateFileTest() override { fs::remove_all(dir); }
  fs::path dir;
};

TEST_F(StateFileTest, RemembersInAPrivateFileAndForgets) {
  const StateFile state((dir / "sub" / "reader.state").string());
  std::string path;
  EXPECT_EQ(state.load(path), 0);  // nothing remembered yet
  EXPECT_TRUE(path.empty());
  ASSERT_EQ(state.remember("/sys/devices/x/block/sdb/sdb1"), 0);
  ASSERT_EQ(state.load(path), 0);
  EXPECT_EQ(path, "/sys/devices/x/block/sdb/sdb1");
  struct stat info {};
  ASSERT_EQ(::stat(state.path().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((dir / "sub").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  ASSERT_EQ(state.remember("/sys/devices/y"), 0);
  ASSERT_EQ(state.load(path), 0);
  EXPECT_EQ(path, "/sys/devices/y");
  EXPECT_EQ(state.forget(), 0);
  EXPECT_FALSE(fs::exists(state.path()));
  EXPECT_EQ(state.forget(), 0);
  EXPECT_EQ(state.remember("/sys/a\nvolume=/b"), EINVAL);
  EXPECT_FALSE(fs::exists(state.path()));
}

TEST_F(StateFileTest, AFileThatIsNotOursIsRefused) {
  const StateFile state((dir / "reader.state").string());
  std::string path;
  const auto write = [&](const std::string& text) {
    fs::remove(state.path());
    std::ofstream(state.path(), std::ios::binary) << text;
  };
  for (const std::string& text : std::vector<std::string>{
           "volume=/sys/x\n", "quillon-reader-state 1\nvolume=/sys/x", "quillon-reader-state 1\nvolume=\n",
           "quillon-reader-state 1\nvolume=/a\n/b\n", "quillon-reader-state 2\nvolume=/sys/x\n",
           "quillon-reader-state 1\nvolume=/" + std::string(StateFile::kMaxBytes, 'a') + "\n"}) {
    write(text);
    EXPECT_EQ(state.load(path), EINVAL) << text.substr(0, 60);
    EXPECT_TRUE(path.empty());
  }
  // A link is not followed, not even to a well-formed file.
  std::ofstream(dir / "elsewhere", std::ios::binary) << "quillon-reader-state 1\nvolume=/sys/x\n";
  fs::remove(state.path());
  fs::create_symlink(dir / "elsewhere", state.path());
  EXPECT_EQ(state.load(path), EINVAL);
  EXPECT_TRUE(path.empty());
  // Remembering replaces the link itself.
  ASSERT_EQ(state.remember("/sys/y"), 0);
  EXPECT_FALSE(fs::is_symlink(state.path()));
  EXPECT_EQ(state.load(path), 0);
  EXPECT_EQ(path, "/sys/y");
}

}  // namespace
}  // namespace quillon::test
