#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Status.h"
#include "base/Trace.h"
#include "base/TraceSinks.h"
#include "support/CapturingSink.h"
#include "support/TempDir.h"

namespace quillon {
namespace {

using test::CapturingSink;

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { trace::disableAllSessions(); }
  void TearDown() override { trace::disableAllSessions(); }
};

TEST_F(TraceTest, NothingIsFormattedWithoutASessionAndLevelsFilter) {
  int evaluated = 0;
  QTRACE(trace::kCritical, "f", "%d", ++evaluated);
  EXPECT_EQ(evaluated, 0);

  test::TraceCapture atInfo(trace::kInformation, 1);
  QTRACE(trace::kVerbose, "f", "verbose %d", ++evaluated);
  QTRACE(trace::kInformation, "f", "info");
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(atInfo.sink().count("verbose"), 0u);
  EXPECT_EQ(atInfo.sink().count("info"), 1u);
}

TEST_F(TraceTest, TableHoldsTenSessionsAndReusesFreedEntries) {
  std::vector<std::shared_ptr<CapturingSink>> sinks;
  for (trace::LoggerHandle h = 1; h <= 11; ++h)
    trace::enableSession(h, 0, sinks.emplace_back(std::make_shared<CapturingSink>()));
  QTRACE(trace::kError, "f", "first");
  for (int i = 0; i < 10; ++i) EXPECT_EQ(sinks[i]->count("first"), 1u) << i;
  EXPECT_EQ(sinks[10]->count("first"), 0u);

  // A freed entry serves the next session that asks.
  trace::disableSession(5);
  trace::enableSession(11, 0, sinks[10]);
  QTRACE(trace::kError, "f", "third");
  EXPECT_EQ(sinks[10]->count("third"), 1u);
  EXPECT_EQ(sinks[4]->count("third"), 0u);
}

TEST_F(TraceTest, MessageAndEventLengthLimits) {
  test::TraceCapture capture(0, 1);
  CapturingSink& sink = capture.sink();
  const std::string fits(1023, 'a');
  trace::emit("x.cpp", 10, "f", trace::kError, "%s", fits.c_str());
  trace::emit("x.cpp", 11, "f", trace::kError, "%s", std::string(1024, 'b').c_str());
  trace::emit("x.cpp", 12, "f", trace::kError, "%s", "");  // an empty message is dropped too
  ASSERT_EQ(sink.lines().size(), 1u);
  EXPECT_EQ(sink.lines()[0].text, "f(10) : " + fits);

  // Characters, not bytes: 1023 two-byte characters still fit.
  std::string accented;
  for (int i = 0; i < 1023; ++i) accented += "\xC3\xA9";
  QTRACE(trace::kError, "f", "%s", accented.c_str());
  EXPECT_EQ(sink.lines().size(), 2u);

  // The whole event is cut at 1279 characters.
  const std::string function(400, 'F');
  trace::emit("x.cpp", 7, function.c_str(), trace::kError, "%s", std::string(1000, 'm').c_str());
  const std::string text = sink.lines().back().text;
  EXPECT_EQ(text.size(), trace::kMaxEventChars);
  EXPECT_EQ(text.substr(0, 404), function + "(7) ");
}

TEST_F(TraceTest, ControlCallbackRejectsUnknownRequestsAndBadBuffers) {
  trace::ControlRequest request{9, 0, std::make_shared<CapturingSink>()};
  EXPECT_EQ(trace::controlCallback(7, nullptr, sizeof request, &request), status::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(trace::controlCallback(trace::kEnableEvents, nullptr, 3, &request), status::ERROR_INVALID_HANDLE);
  EXPECT_FALSE(trace::enabled());
  EXPECT_EQ(trace::controlCallback(trace::kEnableEvents, nullptr, sizeof request, &request), status::ERROR_SUCCESS);
  EXPECT_TRUE(trace::enabled());
}

TEST_F(TraceTest, SinksParseSessionsAndTheEnvironmentSessionWritesToItsFile) {
  const test::TempDir dir;
  const auto file = dir.path() / "trace.log";
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
    line = __LINE__ + 1;
    QTRACE(trace::kInformation, "FormatCard", "FormatCard: drive = %s", "/media/stick");
    QTRACE(trace::kVerbose, "FormatCard", "FormatCard");
  }
  ::unsetenv("QUILLON_TRACE");
  EXPECT_FALSE(trace::enabled());
  QTRACE(trace::kError, "FormatCard", "after unregistration");
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
            "FormatCard(" + std::to_string(line) + ") : FormatCard: drive = /media/stick\n");
}

}  // namespace
}  // namespace quillon
