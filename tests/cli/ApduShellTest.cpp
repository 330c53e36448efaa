// quillon-card apdu: the shell in process, and the executable driven through pipes
// one command at a time and on a script file.
#include <gtest/gtest.h>

#include <sstream>

#include "CardRun.h"
#include "cli/ApduShell.h"
#include "support/CardFixture.h"

namespace quillon::test {
namespace {

std::string script() {
  std::string text = "# personalisation\n\n";
  for (const auto& command : personalisationScript()) text += command + "   # a comment\n";
  return text;
}

std::string expectedAnswers() {
  std::string lines = "62088201388C03033030 9000\n";
  for (std::size_t i = 1; i < personalisationScript().size(); ++i) lines += "9000\n";
  return lines;
}

TEST(ApduShell, AnswersEveryCommandOnItsOwnLineAndStopsAtALineThatIsNotHex) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  std::istringstream in(script() + "00CB3FFF045C027F71\n00 20 00 80 04 39 39 39 39\n");
  std::ostringstream out, err;
  EXPECT_EQ(cli::runApduShell(runtime, in, out, err), cli::kExitOk);
  EXPECT_EQ(out.str(), expectedAnswers() + "7F7106970103930103 9000\n63C2\n");
  EXPECT_EQ(err.str(), "");

  std::istringstream bad("00A4000C023FFF\n\n00A4 00 0C 02 3F FG\n00A4000C023FFF\n");
  std::ostringstream badOut, badErr;
  EXPECT_EQ(cli::runApduShell(runtime, bad, badOut, badErr), cli::kExitFailure);
  EXPECT_EQ(badOut.str(), "9000\n");
  EXPECT_EQ(badErr.str(), "quillon-card: line 3: not a command in hexadecimal digits\n");
  std::istringstream tooLong(std::string(513 * 2, '0') + "\n");
  std::ostringstream err2;
  EXPECT_EQ(cli::runApduShell(runtime, tooLong, badOut, err2), cli::kExitFailure);
  EXPECT_NE(err2.str().find("line 1: a command of 513 bytes"), std::string::npos);
}

TEST(QuillonCardApdu, ReadsAScriptFile) {
  const auto path = std::filesystem::temp_directory_path() / ("quillon-script-" + std::to_string(getpid()));
  std::ofstream(path) << script();
  const CardRun r = runCard("apdu " + path.string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, expectedAnswers());
  std::filesystem::remove(path);
  EXPECT_EQ(runCard("apdu /nonexistent").status, 1);
  EXPECT_EQ(runCard("frobnicate").status, 2);
  EXPECT_EQ(runCard("apdu --help").status, 0);
}

}  // namespace
}  // namespace quillon::test
