// No PIN or administrator key is left in heap memory given back to the
// allocator while `quillon-card init` creates a card, while a stored card is
// opened, changed and saved, or while apdu runs a script: freed blocks are
// searched for the secrets in every form the road gives them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/Hex.h"
#include "cli/ApduShell.h"
#include "cli/Commands.h"
#include "cli/FreedMemoryScan.h"
#include "container/Base64.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/JCRuntimeImpl.h"
#include "personalise/CreateSecureContainer.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";

// Base64 of `bytes` from `offset` on, whole groups of three only: the text that
// any Base64 document holding `bytes` at a position of that alignment contains.
std::string base64From(const std::string& bytes, std::size_t offset) {
  const std::size_t length = (bytes.size() - offset) / 3 * 3;
  std::string text(base64::textBufferSize(length), '\0');
  const auto written = base64::encode({reinterpret_cast<const std::uint8_t*>(bytes.data()) + offset, length},
                                      {text.data(), text.size()});
  text.resize(written.value_or(0));
  return text;
}

std::string hexOf(const std::string& bytes) {
  return hex::encode({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
}

class SecretResidueTest : public ::testing::Test {
 protected:
  SecretResidueTest() {
    // A new PIN and key for every run: nothing else in the process holds them.
    std::random_device device;
    std::mt19937_64 random(device());
    for (int i = 0; i < 16; ++i) pin += static_cast<char>('0' + random() % 10);
    for (int i = 0; i < 24; ++i) key += static_cast<char>(random());
    for (const char c : hexOf(key)) keyText += static_cast<char>(std::tolower(c));  // typed in lower case
    secrets = {{"PIN as typed", pin},
               {"PIN as script hex", hexOf(pin)},
               {"key as typed", keyText},
               {"key as upper-case hex", hexOf(key)},
               {"key bytes", key}};
    for (std::size_t offset = 0; offset < 3; ++offset) {
      secrets.emplace_back("PIN in Base64 at offset " + std::to_string(offset), base64From(pin, offset));
      secrets.emplace_back("key in Base64 at offset " + std::to_string(offset), base64From(key, offset));
    }
  }

  void createCard() {
    ASSERT_EQ(CreateSecureContainer(pin.c_str(), reinterpret_cast<const std::uint8_t*>(key.data()), kSerial,
                                    dir.string(), &identity),
              0u);
  }
  // Runs a quillon-card command under the scan, its output captured and every
  // trace line formatted.
  int runScanned(int (*command)(int, char**), std::vector<std::string> words, std::string& out) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::ostringstream captured;
    std::streambuf* saved = std::cout.rdbuf(captured.rdbuf());
    freed_memory::start(secrets);
    int status = -1;
    {
      TraceCapture tracing(trace::kVerbose);
      status = command(static_cast<int>(words.size()), argv.data());
    }
    freed_memory::stop();
    std::cout.rdbuf(saved);
    out = captured.str();
    return status;
  }
  void expectNothingLeft() {
    EXPECT_GE(freed_memory::blocksScanned(), 100u) << "the scan did not see the frees";
    for (const std::string& found : freed_memory::findings()) ADD_FAILURE() << found;
  }

  ScratchDir scratch;
  const std::filesystem::path dir = scratch.path();
  const std::string container = (dir / FilePersist::kContainerName).string();
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::string pin, key, keyText;
  freed_memory::Watched secrets;
};

TEST_F(SecretResidueTest, InitLeavesNoSecretInFreedMemory) {
  // Both secrets on one descriptor, as the user gives them.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string lines = pin + "\n" + keyText + "\n";
  ASSERT_EQ(::write(fds[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
  ::close(fds[1]);
  const std::string fd = std::to_string(fds[0]);
  std::string out;
  const int status = runScanned(cli::initCommand,
                                {"init", "--dir", dir.string(), "--identity", "ACME:STICK:1.00:SN0001", "--no-reader",
                                 "--pin-fd", fd, "--admin-key-fd", fd, "--serial", kSerial, "--yes"},
                                out);
  ::close(fds[0]);
  ASSERT_EQ(status, cli::kExitOk) << out;
  ASSERT_TRUE(std::filesystem::exists(container));
  expectNothingLeft();
}

TEST_F(SecretResidueTest, OpeningChangingAndSavingACardLeavesNoSecretInFreedMemory) {
  createCard();
  const Bytes before = readFileBytes(container);
  freed_memory::start(secrets);
  {
    FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                        identity.revision.c_str(), dir.string());
    GidsAppletInstaller installer;
    std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(installer);
    EXPECT_EQ(transmitHex(*runtime, "00A4040409A0000003974254465900").sw, 0x9000);
    EXPECT_EQ(transmitHex(*runtime, "0020008004 30303030").sw, 0x63C2);  // a changed state to save
    EXPECT_EQ(persist.save(*runtime), 0u);
  }
  freed_memory::stop();
  EXPECT_NE(readFileBytes(container), before) << "the changed card was not written";
  expectNothingLeft();
}

TEST_F(SecretResidueTest, ApduScriptsLeaveNoSecretInFreedMemory) {
  createCard();
  const std::string script = (dir / "verify.apdu").string();
  std::ofstream(script) << "00A4040409A0000003974254465900\n0020008010" << hexOf(pin) << "\n";
  std::string out;
  EXPECT_EQ(runScanned(cli::apduCommand,
                       {"apdu", "--dir", dir.string(), "--identity", "ACME:STICK:1.00:SN0001", script}, out),
            cli::kExitOk);
  EXPECT_TRUE(out.ends_with(" 9000\n9000\n")) << out;  // selected, and the PIN verified
  expectNothingLeft();
}

TEST_F(SecretResidueTest, CardMemoryIsWipedBeforeTheHeapTakesItBack) {
  freed_memory::start(secrets);
  {
    JCRuntimeImpl runtime;
    for (ISmartCardMemory* memory : {&runtime.persistentMemory(), &runtime.transientMemory()}) {
      void* freed = memory->allocate(24, JC_HERE("test"));
      std::memcpy(freed, key.data(), key.size());
      memory->free(freed, JC_HERE("test"));
      std::memcpy(memory->allocate(24, JC_HERE("test")), key.data(), key.size());  // released by the runtime
    }
  }
  freed_memory::stop();
  for (const std::string& found : freed_memory::findings()) ADD_FAILURE() << found;
}

}  // namespace
}  // namespace quillon::test
