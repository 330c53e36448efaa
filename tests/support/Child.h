// The one way tests run another process: a forked child running a function or a
// program, its standard output and error captured together (or sent to a log
// file), its end reported, and a deadline after which it is killed. A child still
// running when its owner goes is killed and reaped; a program dies with the test process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace quillon::test {

struct ChildResult {
  int exitCode = -1;  // -1 unless it exited before its deadline
  int signal = 0;     // the signal that ended it, 0 if none
  bool timedOut = false;
  std::string out;  // standard output and error, interleaved

  bool exitedWith(int code) const { return !timedOut && signal == 0 && exitCode == code; }
  bool killedBy(int sig) const { return !timedOut && signal == sig; }
};

class Child {
 public:
  // Runs `body` with standard input from /dev/null; exits with what it returns (125 if it throws).
  explicit Child(const std::function<int()>& body);
  // The program argv[0] (searched on PATH) with this environment plus `extraEnvironment`
  // ("NAME=value", replacing a variable of that name), its output appended to `logFile`
  // or captured when `logFile` is empty.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
        const std::string& logFile);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Collects the output until the child ends, killing it at `timeout`.
  ChildResult wait(std::chrono::milliseconds timeout);
  // False once it has ended (reaping it).
  bool running();
  // SIGTERM, then SIGKILL after `grace`.
  void stop(std::chrono::milliseconds grace);

 private:
  void start(const std::function<int()>& body, int output);

  pid_t pid_ = -1;
  int out_ = -1;
};

// `body` in a forked child, to the end or the deadline.
ChildResult runForked(const std::function<int()>& body, std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The path of `name`, found on PATH (and the sbin directories) unless it holds a '/'; empty if none.
std::string findProgram(const std::string& name);

// A program's run as Child(argv, extraEnvironment, "") runs it, to its end or `timeout`.
ChildResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                       std::chrono::milliseconds timeout);

}  // namespace quillon::test
