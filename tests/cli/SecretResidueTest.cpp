// No PIN or administrator key is left behind in heap memory that goes back to the
// allocator: every block freed while `quillon-card init` creates a card, and
// while a stored card is opened, changed and saved, is searched for the secrets
// in every form the road gives them (as typed, as the personalisation script's
// hexadecimal text, as bytes, as the state document's Base64).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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
#include "personalise/CreateSecureContainer.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";

std::string lowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// Base64 of `bytes` from `offset` on, whole groups of three only: the text that
// any Base64 document holding `bytes` at a position of that alignment contains.
std::string base64From(const Bytes& bytes, std::size_t offset) {
  const std::size_t length = (bytes.size() - offset) / 3 * 3;
  std::string text(base64::textBufferSize(length), '\0');
  const auto written = base64::encode({bytes.data() + offset, length}, {text.data(), text.size()});
  text.resize(written.value_or(0));
  return text;
}

class SecretResidueTest : public ::testing::Test {
 protected:
  SecretResidueTest() {
    char pattern[] = "/tmp/quillon-residue-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    dir = pattern;

    // A new PIN and key for every run: nothing else in the process holds them.
    std::random_device device;
    std::mt19937_64 random(device());
    for (int i = 0; i < 16; ++i) pin += static_cast<char>('0' + random() % 10);
    keyBytes.resize(24);
    for (std::uint8_t& b : keyBytes) b = static_cast<std::uint8_t>(random());
    keyText = lowerCase(hex::encode(keyBytes));  // typed in lower case

    const Bytes pinBytes(pin.begin(), pin.end());
    scan.watch("PIN as typed", pin);
    scan.watch("PIN as script hex", hex::encode(pinBytes));
    scan.watch("key as typed (lower case)", keyText);
    scan.watch("key as upper-case hex", hex::encode(keyBytes));
    scan.watch("key bytes", keyBytes);
    for (std::size_t offset = 0; offset < 3; ++offset) {
      scan.watch("PIN in Base64 at offset " + std::to_string(offset), base64From(pinBytes, offset));
      scan.watch("key in Base64 at offset " + std::to_string(offset), base64From(keyBytes, offset));
    }
  }
  ~SecretResidueTest() override { fs::remove_all(dir); }

  std::string container() const { return (dir / FilePersist::kContainerName).string(); }

  void expectNothingLeft(std::size_t freesAtLeast = 100) {
    EXPECT_GE(scan.blocksScanned(), freesAtLeast) << "the scan did not see the frees";
    for (const auto& found : scan.findings())
      ADD_FAILURE() << found.name << " left in " << found.blocks << " freed block(s), the first of "
                    << found.firstBlockSize << " bytes";
  }

  fs::path dir;
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::string pin, keyText;
  Bytes keyBytes;
  FreedMemoryScan scan;
};

TEST_F(SecretResidueTest, InitLeavesNoSecretInFreedMemory) {
  // The secrets come as the user gives them: both lines on one descriptor.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::array<char, 80> lines{};
  const std::size_t used = pin.size() + keyText.size() + 2;
  std::copy(pin.begin(), pin.end(), lines.begin());
  lines[pin.size()] = '\n';
  std::copy(keyText.begin(), keyText.end(), lines.begin() + static_cast<std::ptrdiff_t>(pin.size() + 1));
  lines[used - 1] = '\n';
  ASSERT_EQ(::write(fds[1], lines.data(), used), static_cast<ssize_t>(used));
  ::close(fds[1]);

  const std::string fd = std::to_string(fds[0]);
  const std::string drive = dir.string();
  std::vector<std::string> words = {"init",        "--dir",    drive,  "--identity",     "ACME:STICK:1.00:SN0001",
                                    "--no-reader", "--pin-fd", fd,     "--admin-key-fd", fd,
                                    "--serial",    kSerial,    "--yes"};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());

  scan.start();
  int status = -1;
  {
    // Every trace line is formatted, and the captured lines are freed under the scan.
    TraceCapture tracing(trace::kVerbose);
    status = cli::initCommand(static_cast<int>(words.size()), argv.data());
  }
  scan.stop();

  std::cout.rdbuf(saved);
  ::close(fds[0]);
  ASSERT_EQ(status, cli::kExitOk) << out.str();
  ASSERT_TRUE(fs::exists(container()));
  expectNothingLeft();
}

TEST_F(SecretResidueTest, OpeningChangingAndSavingACardLeavesNoSecretInFreedMemory) {
  ASSERT_EQ(CreateSecureContainer(pin.c_str(), keyBytes.data(), kSerial, dir.string(), &identity), 0u);
  const Bytes before = readFileBytes(container());

  scan.start();
  {
    FilePersist persist(identity.serial.c_str(), identity.vendor.c_str(), identity.product.c_str(),
                        identity.revision.c_str(), dir.string());
    GidsAppletInstaller installer;
    std::unique_ptr<JCRuntimeImpl> runtime = persist.createRuntime(installer);
    EXPECT_EQ(transmitHex(*runtime, "00A4040409A0000003974254465900").sw, 0x9000);
    // A wrong PIN costs a try: the state changes and is persisted.
    EXPECT_EQ(transmitHex(*runtime, "0020008004 30303030").sw, 0x63C2);
    EXPECT_EQ(persist.save(*runtime), 0u);
  }
  scan.stop();

  EXPECT_NE(readFileBytes(container()), before) << "the changed card was not written";
  expectNothingLeft();
}

TEST_F(SecretResidueTest, ApduScriptsLeaveNoSecretInFreedMemory) {
  ASSERT_EQ(CreateSecureContainer(pin.c_str(), keyBytes.data(), kSerial, dir.string(), &identity), 0u);
  // A script that verifies the PIN, written without leaving a copy on the heap.
  const std::string script = (dir / "verify.apdu").string();
  std::array<char, 128> text{};
  const std::string_view select = "00A4040409A0000003974254465900\n0020008010";
  std::copy(select.begin(), select.end(), text.begin());
  std::size_t used = select.size();
  for (const char c : pin) {
    text[used++] = hex::digit(static_cast<unsigned char>(c) >> 4);
    text[used++] = hex::digit(static_cast<unsigned char>(c));
  }
  text[used++] = '\n';
  const int fd = ::open(script.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), used), static_cast<ssize_t>(used));
  ::close(fd);

  std::string drive = dir.string(), identityText = "ACME:STICK:1.00:SN0001", file = script;
  std::string words[] = {"apdu", "--dir", drive, "--identity", identityText, file};
  char* argv[] = {words[0].data(), words[1].data(), words[2].data(), words[3].data(),
                  words[4].data(), words[5].data(), nullptr};
  std::ostringstream out;
  std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
  scan.start();
  const int status = cli::apduCommand(6, argv);
  scan.stop();
  std::cout.rdbuf(saved);

  EXPECT_EQ(status, cli::kExitOk);
  EXPECT_TRUE(out.str().ends_with(" 9000\n9000\n")) << out.str();  // selected, and the PIN verified
  expectNothingLeft();
}

TEST_F(SecretResidueTest, CardMemoryIsWipedBeforeTheHeapTakesItBack) {
  scan.start();
  {
    JCRuntimeImpl runtime;
    auto filled = [&](void* block) {
      std::memcpy(block, keyBytes.data(), keyBytes.size());
      return block;
    };
    ISmartCardMemory& persistent = runtime.persistentMemory();
    ISmartCardMemory& transient = runtime.transientMemory();
    persistent.free(filled(persistent.allocate(24, JC_HERE("test"))), JC_HERE("test"));
    transient.free(filled(transient.allocate(24, JC_HERE("test"))), JC_HERE("test"));
    // Still held when the runtime goes: released by it.
    filled(persistent.allocate(24, JC_HERE("test")));
    filled(transient.allocate(24, JC_HERE("test")));
  }
  scan.stop();
  expectNothingLeft(4);
}

}  // namespace
}  // namespace quillon::test
