#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/TraceSinks.h"

namespace quillon {
namespace {

TEST(TraceSinks, ParsesSessionsAndWritesTheEnvironmentSessionToItsFile) {
  trace::disableAllSessions();
  const auto file = std::filesystem::temp_directory_path() / ("quillon-trace-env." + std::to_string(::getpid()));
  std::filesystem::remove(file);
  std::vector<std::string> rejected;
  const auto settings =
      trace::parseSessionSettings("5,,2:syslog,9,x:y,3:,4:/nonexistent-dir/trace.log,4:" + file.string(), rejected);
  ASSERT_EQ(settings.size(), 3u);
  std::vector<int> levels;
  for (const auto& setting : settings) levels.push_back(setting.level);
  EXPECT_EQ(levels, (std::vector<int>{5, 2, 4}));
  EXPECT_EQ(rejected, (std::vector<std::string>{"9", "x:y", "3:", "4:/nonexistent-dir/trace.log"}));

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
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str(), "FormatCard(" + std::to_string(line) + ") : FormatCard: drive = /media/stick\n");
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace quillon
