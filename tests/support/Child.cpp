#include "support/Child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillon::test {

using Clock = std::chrono::steady_clock;

Child::Child(const std::function<int()>& body) { start(body, -1); }

// The child's output goes to `output`, or to a pipe read by wait() when it is -1.
void Child::start(const std::function<int()>& body, int output) {
  int pipe[2] = {-1, -1};
  if (output < 0 && ::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  std::fflush(nullptr);  // nothing buffered is written twice
  pid_ = ::fork();
  if (pid_ == 0) {
    const int input = ::open("/dev/null", O_RDONLY), sink = output >= 0 ? output : pipe[1];
    if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(sink, 1) < 0 || ::dup2(sink, 2) < 0) ::_exit(126);
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  if (pipe[1] >= 0) ::close(pipe[1]);
  out_ = pipe[0];
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

Child::Child(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
             const std::string& logFile) {
  // Everything execve needs is made before the fork: a forked child of a
  // threaded process must not allocate.
  const std::string path = findProgram(argv.empty() ? "" : argv[0]);
  if (path.empty()) throw std::runtime_error("program not found: " + (argv.empty() ? "" : argv[0]));
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string item(*e), name = item.substr(0, item.find('=') + 1);
    if (std::none_of(extraEnvironment.begin(), extraEnvironment.end(),
                     [&](const std::string& x) { return x.starts_with(name); }))
      env.push_back(item);
  }
  env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
  std::vector<char*> args, envp;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  args.push_back(nullptr);
  envp.push_back(nullptr);
  const int log = logFile.empty() ? -1 : ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (!logFile.empty() && log < 0) throw std::runtime_error("cannot open " + logFile);
  const pid_t parent = ::getpid();
  start(
      [&] {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() == parent) ::execve(path.c_str(), args.data(), envp.data());
        return 127;
      },
      log);
  if (log >= 0) ::close(log);
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  if (out_ >= 0) ::close(out_);
}

ChildResult Child::wait(std::chrono::milliseconds timeout) {
  ChildResult result;
  const Clock::time_point deadline = Clock::now() + timeout;
  char buffer[4096];
  int status = 0;
  const auto readSome = [&](int wait) {  // false once nothing more came
    pollfd fd = {out_, POLLIN, 0};
    if (out_ < 0 || ::poll(&fd, 1, wait) <= 0) return false;
    const ssize_t n = ::read(out_, buffer, sizeof buffer);
    if (n > 0) return result.out.append(buffer, static_cast<std::size_t>(n)), true;
    if (n == 0 || errno != EINTR) out_ = (::close(out_), -1);
    return false;
  };
  while (pid_ > 0) {  // a child writing elsewhere may outlive its pipe
    if (Clock::now() >= deadline && !result.timedOut) {
      result.timedOut = true;
      ::kill(pid_, SIGKILL);
    }
    if (readSome(10)) continue;
    if (out_ < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) break;
  }
  while (readSome(0)) {
  }
  if (pid_ > 0) {
    pid_ = -1;
    if (WIFEXITED(status) && !result.timedOut) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  return result;
}

bool Child::running() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
}

void Child::stop(std::chrono::milliseconds grace) {
  if (pid_ > 0) ::kill(pid_, SIGTERM);
  wait(grace);
}

std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin") + ":/usr/sbin:/sbin:";
  for (std::size_t start = 0, end; (end = dirs.find(':', start)) != std::string::npos; start = end + 1) {
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && !name.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

ChildResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                       std::chrono::milliseconds timeout) {
  return Child(argv, extraEnvironment, "").wait(timeout);
}

ChildResult runForked(const std::function<int()>& body, std::chrono::milliseconds timeout) {
  return Child(body).wait(timeout);
}

}  // namespace quillon::test
