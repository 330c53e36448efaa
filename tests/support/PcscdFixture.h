// A private pcscd loading the driver under test: started in a mount namespace of
// its own with a temporary directory bound over /run/pcscd (its socket path is
// built in), and stopped and reaped when the fixture goes. Needs root and
// unshare; unavailableReason() says when a test must be skipped.
//
// libpcsclite reads PCSCLITE_CSOCK_NAME once per process, so every fixture of a
// process puts its socket at the same path: a test run again in the process
// (--gtest_repeat) reaches its own pcscd.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "reader/ReaderConfig.h"
#include "support/Child.h"
#include "support/TempDir.h"

namespace quillon::test {

class PcscdFixture {
 public:
  struct Options {
    std::string driver, deviceName;  // the IFD handler to load and its DEVICENAME
    std::string preload;             // libraries pcscd must load first, ":"-separated (a sanitised driver's runtimes)
    bool debug = false;              // pcscd -d (never -a: APDUs carry PINs)
  };

  // Empty when a private pcscd can run here; otherwise why not.
  static std::string unavailableReason();
  // Options that load the driver of this build, with `config` as its DEVICENAME.
  static Options builtDriver(const reader::ReaderConfig& config);

  explicit PcscdFixture(Options options);
  ~PcscdFixture();
  PcscdFixture(const PcscdFixture&) = delete;
  PcscdFixture& operator=(const PcscdFixture&) = delete;

  // Starts pcscd and waits until its socket is there (throws std::runtime_error with its log otherwise).
  void start(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  void stop();
  void restart() {
    stop();
    start();
  }
  bool running() { return pcscd_ && pcscd_->running(); }

  const std::filesystem::path& directory() const { return dir_.path(); }
  // The environment a PC/SC client process needs to reach this pcscd.
  std::vector<std::string> environment() const { return {"PCSCLITE_CSOCK_NAME=" + socketPath()}; }
  // Points this process's libpcsclite at the fixture (before its first use).
  void useInThisProcess() const;
  std::string log() const;

 private:
  std::string socketPath() const { return (runDir_ / "pcscd.comm").string(); }

  Options options_;
  TempDir dir_;
  std::filesystem::path runDir_;  // bound over /run/pcscd: the same for the whole process
  std::unique_ptr<Child> pcscd_;
};

}  // namespace quillon::test
