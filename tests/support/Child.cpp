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

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Child::Child(const std::function<int()>& body) { start(body); }

void Child::start(const std::function<int()>& body) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error("pipe failed");
  }
  std::fflush(nullptr);  // nothing buffered is written twice
  pid_ = ::fork();
  if (pid_ == 0) {
    const int input = ::open("/dev/null", O_RDONLY);
    if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) ::_exit(126);
    int code = 125;
    try {
      code = body();
    } catch (...) {
    }
    std::fflush(nullptr);
    ::_exit(code);
  }
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
  if (pid_ < 0) {
    closeFd(out_);
    closeFd(err_);
    throw std::runtime_error("fork failed");
  }
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
  start([&] {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent || (log >= 0 && ::dup2(log, 1) < 0) || ::dup2(1, 2) < 0) return 126;
    ::execve(path.c_str(), args.data(), envp.data());
    return 127;
  });
  if (log >= 0) ::close(log);
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
  closeFd(out_);
  closeFd(err_);
}

void Child::kill(int sig) {
  if (pid_ > 0) ::kill(pid_, sig);
}

ChildResult Child::wait(std::chrono::milliseconds timeout) {
  ChildResult result;
  const Clock::time_point deadline = Clock::now() + timeout;
  char buffer[4096];
  while (out_ >= 0 || err_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      kill(SIGKILL);
      break;
    }
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        closeFd(i == 0 ? out_ : err_);
        continue;
      }
      (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
    }
  }
  closeFd(out_);
  closeFd(err_);
  int status = 0;
  while (pid_ > 0) {  // a child writing elsewhere may outlive its pipes
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno != EINTR)) break;
    if (Clock::now() >= deadline && !result.timedOut) {
      result.timedOut = true;
      kill(SIGKILL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (pid_ > 0) {
    pid_ = -1;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  }
  return result;
}

bool Child::running() {
  int status = 0;
  if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ > 0;
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

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                         std::chrono::milliseconds timeout) {
  ChildResult r = Child(argv, extraEnvironment, "").wait(timeout);
  return {r.timedOut ? -1 : r.exitCode, r.out + r.err};
}

ChildResult runForked(const std::function<int()>& body, std::chrono::milliseconds timeout) {
  return Child(body).wait(timeout);
}

ChildResult runProgram(const std::vector<std::string>& argv, const std::string& workingDir,
                       std::chrono::milliseconds timeout) {
  if (argv.empty()) throw std::invalid_argument("no program");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  return runForked(
      [&] {
        if (!workingDir.empty() && ::chdir(workingDir.c_str()) != 0) return 126;
        ::execvp(args[0], args.data());
        return 127;
      },
      timeout);
}

}  // namespace quillon::test
