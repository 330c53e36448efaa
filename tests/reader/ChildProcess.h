// Programs the end-to-end tests start: a short command whose output is captured
// (opensc-tool), or a long-running one (pcscd) writing to a log file, killed and
// reaped when its owner goes, and killed by the kernel should the test process
// die first.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace quillon::test {

struct ProcessResult {
  int exitCode = -1;  // -1 when killed by a signal or not started
  bool timedOut = false;
  std::string output;  // standard output and error, interleaved
};

// The program's path, found on PATH unless `name` holds a '/'; empty if none.
std::string findProgram(const std::string& name);

// Runs `argv` with this process's environment plus `extraEnvironment`
// ("NAME=value", replacing a variable of the same name), no standard input, and
// kills it after `timeout`.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                         std::chrono::milliseconds timeout);

class ChildProcess {
 public:
  // Starts `argv` with output appended to `logFile`; throws std::runtime_error
  // when it cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
               const std::string& logFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const noexcept { return pid_; }
  // False once it has ended (and is reaped).
  bool running();
  // SIGTERM, then SIGKILL after `grace`; waits for the end. The wait status.
  int stop(std::chrono::milliseconds grace);

 private:
  pid_t pid_ = -1;
  int status_ = 0;
};

}  // namespace quillon::test
