// A private pcscd for end-to-end tests: started in a mount namespace of its own
// with a temporary directory bound over /run/pcscd (the socket and pid file
// paths are built in), a reader.conf that loads the driver under test, and the
// socket for clients in PCSCLITE_CSOCK_NAME. Needs root (as CI runs) and
// unshare; unavailableReason() says when a test must be skipped. pcscd is
// stopped, killed if need be, and reaped when the fixture goes; the kernel kills
// it should the test process die.
//
// libpcsclite reads PCSCLITE_CSOCK_NAME once per process, so every fixture of
// a process puts its socket at the same path (one fixture at a time): a test
// run again in the process (--gtest_repeat) reaches its own pcscd. Child
// processes get the socket through environment().
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "reader/ReaderConfig.h"

namespace quillon::test {

class PcscdFixture {
 public:
  struct Options {
    std::string driver;      // the IFD handler to load
    std::string deviceName;  // its DEVICENAME
    std::string friendlyName = "Brindleworth Virtual Reader";
    std::string preload;  // libraries pcscd must load first, ":"-separated (a sanitised driver's runtimes)
    bool debug = false;   // pcscd -d (never -a: APDUs carry PINs)
  };

  // Empty when a private pcscd can run here; otherwise why not.
  static std::string unavailableReason();
  // Options that load the driver of this build, with `config` as its DEVICENAME.
  static Options builtDriver(const reader::ReaderConfig& config);

  explicit PcscdFixture(Options options);
  ~PcscdFixture();
  PcscdFixture(const PcscdFixture&) = delete;
  PcscdFixture& operator=(const PcscdFixture&) = delete;

  // Starts pcscd and waits until its socket answers (throws std::runtime_error
  // with pcscd's log otherwise).
  void start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Stops pcscd: SIGTERM, SIGKILL after a grace period; reaped either way.
  void stop();
  void restart() {
    stop();
    start();
  }
  bool running();

  const std::filesystem::path& directory() const { return dir_; }
  std::string socketPath() const { return (runDir_ / "pcscd.comm").string(); }
  // The environment a PC/SC client process needs to reach this pcscd.
  std::vector<std::string> environment() const { return {"PCSCLITE_CSOCK_NAME=" + socketPath()}; }
  // Points this process's libpcsclite at the fixture (before its first use).
  void useInThisProcess() const;
  // pcscd's output so far.
  std::string log() const;

 private:
  Options options_;
  std::filesystem::path dir_;
  std::filesystem::path runDir_;  // bound over /run/pcscd: the same for the whole process
  std::unique_ptr<ChildProcess> pcscd_;
};

}  // namespace quillon::test
