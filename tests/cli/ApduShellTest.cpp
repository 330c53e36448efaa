// quillon-card apdu: the shell in process, and the executable driven through pipes
// one command at a time, as a script would drive it.
#include "cli/ApduShell.h"

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../gids/CardFixture.h"
#include "../gids/OpenSslPeer.h"
#include "gids/GidsApplet.h"
#include "jc/JCRuntimeImpl.h"

extern char** environ;

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

TEST(ApduShell, AnswersEveryCommandOnItsOwnLine) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  std::istringstream in(script() + "00CB3FFF045C027F71\n00 20 00 80 04 39 39 39 39\n");
  std::ostringstream out, err;
  EXPECT_EQ(cli::runApduShell(runtime, in, out, err), cli::kExitOk);
  EXPECT_EQ(out.str(), expectedAnswers() + "7F7106970103930103 9000\n63C2\n");
  EXPECT_EQ(err.str(), "");
}

TEST(ApduShell, StopsAtALineThatIsNotHex) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  std::istringstream in("00A4000C023FFF\n\n00A4 00 0C 02 3F FG\n00A4000C023FFF\n");
  std::ostringstream out, err;
  EXPECT_EQ(cli::runApduShell(runtime, in, out, err), cli::kExitFailure);
  EXPECT_EQ(out.str(), "9000\n");
  EXPECT_EQ(err.str(), "quillon-card: line 3: not a command in hexadecimal digits\n");

  std::istringstream odd("00A4000C023FF\n");
  EXPECT_EQ(cli::runApduShell(runtime, odd, out, err), cli::kExitFailure);
  std::istringstream tooLong(std::string(513 * 2, '0') + "\n");
  std::ostringstream err2;
  EXPECT_EQ(cli::runApduShell(runtime, tooLong, out, err2), cli::kExitFailure);
  EXPECT_NE(err2.str().find("line 1: a command of 513 bytes"), std::string::npos);
}

// The executable with its standard input and output on pipes.
class CardProcess {
 public:
  explicit CardProcess(std::vector<std::string> args) {
    int in[2], out[2];
    EXPECT_EQ(pipe(in), 0);
    EXPECT_EQ(pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    args.insert(args.begin(), QUILLON_CARD);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(posix_spawn(&pid_, QUILLON_CARD, &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild_ = fdopen(in[1], "w");
    fromChild_ = fdopen(out[0], "r");
  }
  ~CardProcess() { EXPECT_EQ(finish(), 0); }

  // Sends one command and waits for its answer line.
  std::string exchange(const std::string& command) {
    std::fputs((command + "\n").c_str(), toChild_);
    std::fflush(toChild_);
    char line[2048];
    if (std::fgets(line, sizeof line, fromChild_) == nullptr) return "<no answer>";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }

  int finish() {
    if (pid_ <= 0) return status_;
    std::fclose(toChild_);
    std::fclose(fromChild_);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = 0;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
  }

 private:
  pid_t pid_ = 0;
  int status_ = 0;
  std::FILE* toChild_ = nullptr;
  std::FILE* fromChild_ = nullptr;
};

TEST(QuillonCardApdu, AnswersAreReadyBeforeTheNextCommand) {
  CardProcess card({"apdu"});
  for (const auto& command : personalisationScript()) ASSERT_NE(card.exchange(command), "<no answer>");
  // The next command depends on the card's challenge.
  ASSERT_EQ(card.exchange("002281A403830180"), "9000");
  const std::string challenge = card.exchange("00870000047C02810000");
  ASSERT_EQ(challenge.size(), 2u * 12 + 5);
  const Bytes cryptogram = tdesCbc(fromHex(kAdminKey), fromHex(challenge.substr(8, 16)), true);
  EXPECT_EQ(card.exchange("008700000C7C0A8208" + toHex(cryptogram)), "9000");
  EXPECT_EQ(card.finish(), 0);
}

TEST(QuillonCardApdu, ReadsAScriptFile) {
  const auto path = std::filesystem::temp_directory_path() / ("quillon-script-" + std::to_string(getpid()));
  std::ofstream(path) << script();
  const std::string command = std::string(QUILLON_CARD) + " apdu " + path.string();
  std::FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 0);
  EXPECT_EQ(output, expectedAnswers());
  std::filesystem::remove(path);

  EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLON_CARD) + " apdu /nonexistent 2>/dev/null").c_str())), 1);
  EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLON_CARD) + " frobnicate 2>/dev/null").c_str())), 2);
  EXPECT_EQ(WEXITSTATUS(std::system((std::string(QUILLON_CARD) + " apdu --help >/dev/null").c_str())), 0);
}

}  // namespace
}  // namespace quillon::test
