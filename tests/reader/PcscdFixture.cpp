#include "PcscdFixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace quillon::test {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string PcscdFixture::unavailableReason() {
  if (::geteuid() != 0)
    return "a private pcscd needs root (CI runs as root); skipped as user " + std::to_string(::geteuid());
  if (findProgram("pcscd").empty()) return "pcscd is not installed";
  if (findProgram("unshare").empty()) return "unshare is not installed";
  const ProcessResult probe =
      runProcess({"unshare", "--mount", "--propagation", "private", "true"}, {}, std::chrono::seconds(10));
  if (probe.exitCode != 0) return "unshare --mount is not permitted here: " + probe.output;
  return {};
}

PcscdFixture::Options PcscdFixture::builtDriver(const reader::ReaderConfig& config) {
  Options options;
  options.driver = QUILLON_IFD_DRIVER;
  options.preload = QUILLON_DRIVER_PRELOAD;
  options.deviceName = "quillon:state=" + config.statePath + ":proc=" + config.procRoot + ":sys=" + config.sysRoot;
  return options;
}

PcscdFixture::PcscdFixture(Options options)
    : options_(std::move(options)),
      runDir_(fs::temp_directory_path() / ("quillon-pcscd-run-" + std::to_string(::getpid()))) {
  std::string pattern = (fs::temp_directory_path() / "quillon-pcscd-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
  fs::create_directories(runDir_);
  std::ofstream conf(dir_ / "reader.conf");
  conf << "FRIENDLYNAME \"" << options_.friendlyName << "\"\n"
       << "DEVICENAME " << options_.deviceName << "\n"
       << "LIBPATH " << options_.driver << "\n";
  if (!conf) throw std::runtime_error("cannot write reader.conf");
}

PcscdFixture::~PcscdFixture() {
  stop();
  std::error_code ec;
  fs::remove_all(dir_, ec);
  fs::remove_all(runDir_, ec);
}

void PcscdFixture::start(std::chrono::milliseconds timeout) {
  if (running()) return;
  fs::remove(socketPath());
  // The bind mount exists only in pcscd's namespace; "$1" is the directory and
  // the rest is the command, so no path is ever parsed by the shell.
  constexpr const char* kBindAndRun = "mkdir -p /run/pcscd && mount --bind \"$1\" /run/pcscd && shift && exec \"$@\"";
  std::vector<std::string> argv = {"unshare",   "--mount", "--propagation",  "private", "sh", "-c",
                                   kBindAndRun, "sh",      runDir_.string(), "env"};
  if (!options_.preload.empty())
    argv.insert(argv.end(), {"LD_PRELOAD=" + options_.preload, "ASAN_OPTIONS=detect_leaks=0"});
  argv.insert(argv.end(), {findProgram("pcscd"), "--foreground", "--config", (dir_ / "reader.conf").string()});
  if (options_.debug) argv.push_back("--debug");
  pcscd_ = std::make_unique<ChildProcess>(argv, std::vector<std::string>{}, (dir_ / "pcscd.log").string());

  const Clock::time_point deadline = Clock::now() + timeout;
  while (!fs::exists(socketPath())) {
    if (!pcscd_->running() || Clock::now() > deadline) {
      const std::string why = pcscd_->running() ? "pcscd did not open its socket" : "pcscd ended";
      stop();
      throw std::runtime_error(why + "; its log:\n" + log());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void PcscdFixture::stop() {
  if (pcscd_) pcscd_->stop(std::chrono::seconds(5));
  pcscd_.reset();
}

bool PcscdFixture::running() { return pcscd_ && pcscd_->running(); }

void PcscdFixture::useInThisProcess() const { ::setenv("PCSCLITE_CSOCK_NAME", socketPath().c_str(), 1); }

std::string PcscdFixture::log() const {
  std::ifstream in(dir_ / "pcscd.log", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quillon::test
