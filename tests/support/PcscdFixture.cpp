#include "support/PcscdFixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <thread>

namespace quillon::test {

namespace fs = std::filesystem;

std::string PcscdFixture::unavailableReason() {
  if (::geteuid() != 0) return "a private pcscd needs root; skipped as user " + std::to_string(::geteuid());
  if (findProgram("pcscd").empty() || findProgram("unshare").empty()) return "pcscd or unshare is not installed";
  const ChildResult probe =
      runProcess({"unshare", "--mount", "--propagation", "private", "true"}, {}, std::chrono::seconds(10));
  if (probe.exitCode != 0) return "unshare --mount is not permitted here: " + probe.out;
  return {};
}

PcscdFixture::Options PcscdFixture::builtDriver(const reader::ReaderConfig& config) {
  return {QUILLON_IFD_DRIVER,
          "quillon:state=" + config.statePath + ":proc=" + config.procRoot + ":sys=" + config.sysRoot,
          QUILLON_DRIVER_PRELOAD};
}

PcscdFixture::PcscdFixture(Options options)
    : options_(std::move(options)),
      runDir_(fs::temp_directory_path() / ("quillon-pcscd-run-" + std::to_string(::getpid()))) {
  fs::create_directories(runDir_);
  std::ofstream conf(directory() / "reader.conf");
  conf << "FRIENDLYNAME \"Brindleworth Virtual Reader\"\nDEVICENAME " << options_.deviceName << "\nLIBPATH "
       << options_.driver << "\n";
  if (!conf) throw std::runtime_error("cannot write reader.conf");
}

PcscdFixture::~PcscdFixture() {
  stop();
  std::error_code ec;
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
  argv.insert(argv.end(), {findProgram("pcscd"), "--foreground", "--config", (directory() / "reader.conf").string()});
  if (options_.debug) argv.push_back("--debug");
  pcscd_ = std::make_unique<Child>(argv, std::vector<std::string>{}, (directory() / "pcscd.log").string());

  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!fs::exists(socketPath())) {
    if (!running() || std::chrono::steady_clock::now() > deadline) {
      const std::string why = running() ? "pcscd did not open its socket" : "pcscd ended";
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

void PcscdFixture::useInThisProcess() const { ::setenv("PCSCLITE_CSOCK_NAME", socketPath().c_str(), 1); }

std::string PcscdFixture::log() const {
  std::ifstream in(directory() / "pcscd.log", std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace quillon::test
