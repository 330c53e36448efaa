#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace quillon::test {

namespace {

using Clock = std::chrono::steady_clock;

// Everything execve needs, prepared before fork: the child only makes
// async-signal-safe calls.
struct ExecImage {
  std::string path;
  std::vector<std::string> args;
  std::vector<std::string> env;
  std::vector<char*> argp;
  std::vector<char*> envp;

  ExecImage(const std::vector<std::string>& argv, const std::vector<std::string>& extra) : args(argv) {
    if (argv.empty()) throw std::runtime_error("no program");
    path = findProgram(argv[0]);
    if (path.empty()) throw std::runtime_error("program not found: " + argv[0]);
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string item(*e);
      const std::string name = item.substr(0, item.find('='));
      bool replaced = false;
      for (const auto& x : extra) replaced = replaced || x.substr(0, x.find('=')) == name;
      if (!replaced) env.push_back(item);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
  }
};

// In the child: die with the parent, take `output` as stdout and stderr, run.
[[noreturn]] void execChild(const ExecImage& image, int output, pid_t parent) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(126);
  const int input = ::open("/dev/null", O_RDONLY);
  if (input < 0 || ::dup2(input, 0) < 0 || ::dup2(output, 1) < 0 || ::dup2(output, 2) < 0) ::_exit(126);
  ::execve(image.path.c_str(), image.argp.data(), image.envp.data());
  ::_exit(127);
}

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  dirs += ":/usr/sbin:/sbin";  // pcscd lives there, and a test's PATH may lack them
  std::size_t start = 0;
  while (start <= dirs.size()) {
    const std::size_t end = std::min(dirs.find(':', start), dirs.size());
    const std::string candidate = dirs.substr(start, end - start) + "/" + name;
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    start = end + 1;
  }
  return {};
}

ProcessResult runProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                         std::chrono::milliseconds timeout) {
  ProcessResult result;
  const ExecImage image(argv, extraEnvironment);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error("fork failed");
  }
  if (pid == 0) execChild(image, fds[1], parent);
  ::close(fds[1]);

  const Clock::time_point deadline = Clock::now() + timeout;
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      result.timedOut = true;
      ::kill(pid, SIGKILL);
      break;
    }
    struct pollfd pfd = {fds[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
    const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // every writer has closed: the program has ended
    result.output.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = result.timedOut ? -1 : exitCodeOf(status);
  return result;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment,
                           const std::string& logFile) {
  const ExecImage image(argv, extraEnvironment);
  const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (log < 0) throw std::runtime_error("cannot open " + logFile);
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) execChild(image, log, parent);
  ::close(log);
  if (pid_ < 0) throw std::runtime_error("fork failed");
}

ChildProcess::~ChildProcess() { stop(std::chrono::seconds(5)); }

bool ChildProcess::running() {
  if (pid_ <= 0) return false;
  const pid_t done = ::waitpid(pid_, &status_, WNOHANG);
  if (done == pid_) {
    pid_ = -1;
    return false;
  }
  return true;
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
  if (!running()) return status_;
  ::kill(pid_, SIGTERM);
  const Clock::time_point deadline = Clock::now() + grace;
  while (running() && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  return status_;
}

}  // namespace quillon::test
