// Running the quillon-card executable from the tests: once with standard input
// from a string (not a terminal), or as a process driven one command at a time
// through pipes, as a script drives it.
#pragma once

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace quillon::test {

struct CardRun {
  int status = -1;
  std::string out, err;
};

// Runs `env ENV quillon-card ARGS` with `input` on standard input.
inline CardRun runCard(const std::string& args, const std::string& input = "", const std::string& env = "") {
  namespace fs = std::filesystem;
  const fs::path base = fs::temp_directory_path() / ("quillon-card-" + std::to_string(::getpid()));
  std::ofstream(base.string() + ".in") << input;
  const std::string command = "env " + env + " " + QUILLON_CARD + " " + args + " <" + base.string() + ".in >" +
                              base.string() + ".out 2>" + base.string() + ".err";
  const int raw = std::system(command.c_str());
  auto slurp = [&](const char* suffix) {
    std::ifstream f(base.string() + suffix);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    fs::remove(base.string() + suffix);
    return text;
  };
  CardRun r{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, slurp(".out"), slurp(".err")};
  slurp(".in");
  return r;
}

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

  // Sends one command and waits for its answer line (without the newline).
  std::string exchange(const std::string& command) {
    std::fputs((command + "\n").c_str(), toChild_);
    std::fflush(toChild_);
    char line[2048];
    if (std::fgets(line, sizeof line, fromChild_) == nullptr) return "<no answer>";
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
  }
  // Closes standard input and waits: the exit code.
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

}  // namespace quillon::test
