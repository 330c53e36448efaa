// A user's machine for the end-to-end tests and the PKCS#11 benchmark: a fixture
// USB stick whose mount point is a temporary directory (StickWorld), a private
// pcscd loading the reader driver of this build, and the environment under which
// quillon-card and OpenSC's tools see both. It owns pcscd and every file it makes.
#pragma once

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/Child.h"
#include "support/PcscdFixture.h"
#include "support/StickWorld.h"
#include "support/TestData.h"

namespace quillon::test {

class CardWorld {
 public:
  static constexpr const char* kReaderName = "Brindleworth Virtual Reader 00 00";
  static constexpr const char* kCardProgram = QUILLON_CARD;

  // The stick with no card on it yet, and a private directory for secrets and
  // data; pcscd is not started.
  explicit CardWorld(bool pcscdDebug = false) : scratch_(stick_.tree().root() / "scratch") {
    PcscdFixture::Options options = PcscdFixture::builtDriver(stick_.config());
    options.debug = pcscdDebug;
    pcscd_ = std::make_unique<PcscdFixture>(options);
    std::filesystem::create_directories(scratch_);
    std::filesystem::permissions(scratch_, std::filesystem::perms::owner_all);
  }

  PcscdFixture& pcscd() { return *pcscd_; }
  StickWorld& stick() { return stick_; }
  const std::filesystem::path& drive() const { return stick_.mountDir(); }
  const std::filesystem::path& scratch() const { return scratch_; }

  // Writes `content` to scratch()/name (mode 0600) and returns its path.
  std::filesystem::path writeFile(const std::string& name, const std::string& content) const {
    const std::filesystem::path file = scratch_ / name;
    writeFileBytes(file, Bytes(content.begin(), content.end()));
    std::filesystem::permissions(file, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    return file;
  }

  // What a child needs to reach pcscd and to see the stick as a drive. Whatever a
  // tool keeps in its home (OpenSC's file cache) stays in the world.
  std::vector<std::string> environment() const {
    std::vector<std::string> env = pcscd_->environment();
    const reader::ReaderConfig config = stick_.config();
    env.push_back("QUILLON_PROC_ROOT=" + config.procRoot);
    env.push_back("QUILLON_SYS_ROOT=" + config.sysRoot);
    env.push_back("HOME=" + scratch_.string());
    return env;
  }
  ChildResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {}) const {
    std::vector<std::string> env = environment();
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    return runProcess(argv, env, std::chrono::seconds(60));
  }

  // opensc-tool sending `apdus` (hex text) in one session; the status word of each
  // answer, as opensc-tool prints it ("9000"), in order.
  std::vector<std::string> sendApdus(const std::vector<std::string>& apdus, ChildResult* result = nullptr) const {
    std::vector<std::string> argv = {"opensc-tool", "-r", kReaderName}, statusWords;
    for (const auto& apdu : apdus) argv.insert(argv.end(), {"-s", apdu});
    const ChildResult r = run(argv);
    const std::regex received("Received \\(SW1=0x([0-9A-F]{2}), SW2=0x([0-9A-F]{2})\\)");
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), received); it != std::sregex_iterator(); ++it)
      statusWords.push_back((*it)[1].str() + (*it)[2].str());
    if (result != nullptr) *result = r;
    return statusWords;
  }

  // Polls opensc-tool -l for at most `timeout` until the reader shows a card (or
  // none); false when it does not, with opensc-tool's last output in `lastOutput`.
  bool awaitCard(bool present, std::string* lastOutput = nullptr,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    const std::regex line(std::string("\\n\\d+\\s+") + (present ? "Yes" : "No") + "\\s+.*" + kReaderName);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const ChildResult r = run({"opensc-tool", "-l"});
      if (std::regex_search(r.out, line)) return true;
      if (std::chrono::steady_clock::now() > deadline) {
        if (lastOutput != nullptr) *lastOutput = r.out;
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }

 private:
  StickWorld stick_;
  std::filesystem::path scratch_;
  std::unique_ptr<PcscdFixture> pcscd_;
};

}  // namespace quillon::test
