#include "base/TraceSinks.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace quillon {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::filesystem::path tempPath(const char* name) {
  return std::filesystem::temp_directory_path() / (std::string(name) + "." + std::to_string(::getpid()));
}

TEST(TraceSinks, ParsesLevelsAndTargets) {
  const auto file = tempPath("quillon-trace-parse");
  std::vector<std::string> rejected;
  const auto specs = trace::parseSessionSpecs("5,4:" + file.string() + ",,2:syslog,9,x:y,3:", rejected);
  ASSERT_EQ(specs.size(), 3u);
  EXPECT_EQ(specs[0].level, 5);
  EXPECT_EQ(specs[1].level, 4);
  EXPECT_EQ(specs[2].level, 2);
  EXPECT_EQ(rejected, (std::vector<std::string>{"9", "x:y", "3:"}));
  std::filesystem::remove(file);
}

TEST(TraceSinks, UnopenableFileIsRejected) {
  std::vector<std::string> rejected;
  EXPECT_TRUE(trace::parseSessionSpecs("4:/nonexistent-dir/trace.log", rejected).empty());
  EXPECT_EQ(rejected.size(), 1u);
}

TEST(TraceSinks, EnvironmentSessionWritesLinesToItsFile) {
  trace::disableAllSessions();
  const auto file = tempPath("quillon-trace-env");
  std::filesystem::remove(file);
  int line = 0;
  ::setenv("QUILLON_TRACE", ("4:" + file.string()).c_str(), 1);
  {
    trace::ProviderRegistration registration;
    // clang-format off
    line = __LINE__; QTRACE(trace::kInformation, "FormatCard", "FormatCard: drive = %s", "/media/stick");
    // clang-format on
    QTRACE(trace::kVerbose, "FormatCard", "FormatCard");
  }
  ::unsetenv("QUILLON_TRACE");
  EXPECT_FALSE(trace::enabled());
  QTRACE(trace::kError, "FormatCard", "after unregistration");
  EXPECT_EQ(readFile(file), "FormatCard(" + std::to_string(line) + ") : FormatCard: drive = /media/stick\n");
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace quillon
