// A user's machine for the end-to-end tests and the PKCS#11 benchmark: a fixture
// USB stick whose mount point is a temporary directory (StickWorld), a private
// pcscd loading the reader driver of this build, and the environment under which
// quillon-card and OpenSC's tools see both. It owns pcscd and every file it
// makes; all of them go with it.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "PcscdFixture.h"
#include "StickWorld.h"

namespace quillon::test {

class CardWorld {
 public:
  // The reader's name as clients see it.
  static constexpr const char* kReaderName = "Brindleworth Virtual Reader 00 00";

  // Builds the stick (no card on it yet); pcscd is not started.
  explicit CardWorld(bool pcscdDebug = false);

  void start() { pcscd_->start(); }
  void restart() { pcscd_->restart(); }
  std::string pcscdLog() const { return pcscd_->log(); }
  std::filesystem::path pcscdLogPath() const { return pcscd_->directory() / "pcscd.log"; }

  StickWorld& stick() { return stick_; }
  const std::filesystem::path& drive() const { return stick_.mountDir(); }
  // A directory of the world's own, outside the stick, for secrets and data.
  std::filesystem::path scratch() const;
  // Writes `content` to scratch()/name (mode 0600) and returns its path.
  std::filesystem::path writeFile(const std::string& name, const std::string& content) const;

  // What a child needs to reach pcscd and to see the fixture stick as a drive.
  std::vector<std::string> environment() const;
  ProcessResult run(const std::vector<std::string>& argv,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
  // quillon-card with `args`.
  ProcessResult card(const std::vector<std::string>& args) const;

  // The quillon-card of this build.
  static std::string cardProgram();

 private:
  StickWorld stick_;
  std::filesystem::path root_;  // the stick's fixture tree, which holds the world's files
  std::unique_ptr<PcscdFixture> pcscd_;
};

}  // namespace quillon::test
