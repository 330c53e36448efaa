// No PIN or administrator key is left behind in heap memory that goes back to the
// allocator: every block freed while `quillon-card init` creates a card, and
// while an APDU script opens, changes and saves a stored card, is
// searched for the secrets in every form the road gives them (as typed, as
// hexadecimal text, as bytes, as the state document's Base64). The search runs
// in AddressSanitizer's free hook (the dev preset; skipped in builds without
// it); it sees every free of the process, hence an executable of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "base/Hex.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "container/Base64.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "personalise/CreateSecureContainer.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "support/CardFixture.h"
#include "support/TestData.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SCAN_WITH_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SCAN_WITH_HOOKS 1
#endif
#endif

namespace quillon::test {
namespace {

// What the free hook reads is plain static storage: it runs inside free and must not allocate.
constexpr std::size_t kMaxPatterns = 16;
std::vector<std::uint8_t> patterns[kMaxPatterns];
std::size_t patternCount = 0;
std::atomic<bool> scanning{false};
std::atomic<std::size_t> hits[kMaxPatterns];
std::atomic<std::size_t> blocksScanned{0};
thread_local bool insideScan = false;

[[maybe_unused]] void inspect(const void* block, std::size_t size) noexcept {
  if (block == nullptr || insideScan || !scanning.load(std::memory_order_acquire)) return;
  insideScan = true;
  blocksScanned.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < patternCount; ++i) {
    const auto& p = patterns[i];
    if (size >= p.size() && ::memmem(block, size, p.data(), p.size()) != nullptr && hits[i]++ == 0)
      std::fprintf(stderr, "SecretResidueTest: pattern %zu in a freed block of %zu bytes\n", i, size);
  }
  insideScan = false;
}

}  // namespace
}  // namespace quillon::test

#ifdef QUILLON_SCAN_WITH_HOOKS
// AddressSanitizer runs the free hook before it releases the block, whole and with its size known.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
static const int kHooks = __sanitizer_install_malloc_and_free_hooks(  // its slot; 0: refused
    [](const volatile void*, std::size_t) {},
    [](const volatile void* block) {
      if (block != nullptr && quillon::test::scanning.load(std::memory_order_acquire))
        quillon::test::inspect(const_cast<const void*>(block), __sanitizer_get_allocated_size(block));
    });
#else
static const int kHooks = -1;  // no free hook to search with
#endif

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
constexpr const char* kIdentityText = "ACME:STICK:1.00:SN0001";

class SecretResidueTest : public ::testing::Test {
 protected:
  SecretResidueTest() {
    // A new PIN and key for every run: nothing else in the process holds them.
    std::mt19937_64 random(std::random_device{}());
    for (int i = 0; i < 16; ++i) pin += static_cast<char>('0' + random() % 10);
    for (std::uint8_t& b : key) b = static_cast<std::uint8_t>(random());
    keyText = hex::encode(key);
    for (char& c : keyText) c = static_cast<char>(std::tolower(c));  // typed in lower case
    const Bytes pinBytes(pin.begin(), pin.end());
    watch({pinBytes, Bytes(keyText.begin(), keyText.end()), key});
    for (const Bytes& secret : {pinBytes, key}) {
      const std::string text = hex::encode(secret);
      watch({Bytes(text.begin(), text.end())});  // as hexadecimal text
      // Base64 at each of the three alignments, whole groups of three only.
      for (std::size_t offset = 0; offset < 3; ++offset) {
        const std::size_t length = (secret.size() - offset) / 3 * 3;
        std::string b64(base64::textBufferSize(length), '\0');
        b64.resize(base64::encode({secret.data() + offset, length}, {b64.data(), b64.size()}).value_or(0));
        watch({Bytes(b64.begin(), b64.end())});
      }
    }
  }
  ~SecretResidueTest() override {
    patternCount = 0;
    fs::remove_all(dir.path());
  }
  void watch(std::initializer_list<Bytes> secrets) {
    for (const Bytes& secret : secrets) patterns[patternCount++] = secret;
  }

  // Runs `work` with every freed block searched; fails for each secret found.
  template <typename Work>
  void expectNoResidue(Work work, std::size_t freesAtLeast = 100) {
    if (kHooks < 0) GTEST_SKIP() << "no AddressSanitizer free hook in this build";
    ASSERT_GT(kHooks, 0) << "the sanitizer refused the free hook";
    for (auto& h : hits) h = 0;
    blocksScanned = 0;
    scanning = true;
    work();
    scanning = false;
    EXPECT_GE(blocksScanned.load(), freesAtLeast) << "the scan did not see the frees";
    for (std::size_t i = 0; i < patternCount; ++i) EXPECT_EQ(hits[i].load(), 0u) << "secret form " << i;
  }
  int runCommand(int (*command)(int, char**), std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    out.str("");
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    const int status = command(static_cast<int>(words.size()), argv.data());
    std::cout.rdbuf(saved);
    return status;
  }
  std::string container() const { return (dir.path() / FilePersist::kContainerName).string(); }
  void createCard() {
    ASSERT_EQ(CreateSecureContainer(pin.c_str(), key.data(), kSerial, dir.path().string(), &identity), 0u);
  }

  std::ostringstream out;  // the command's standard output
  TempDir dir;
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  std::string pin, keyText;
  Bytes key = Bytes(24);
};

TEST_F(SecretResidueTest, Init) {
  // Both secrets on one descriptor, written without a heap copy.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::write(fds[1], pin.data(), pin.size()), static_cast<ssize_t>(pin.size()));
  ASSERT_EQ(::write(fds[1], "\n", 1), 1);
  ASSERT_EQ(::write(fds[1], keyText.data(), keyText.size()), static_cast<ssize_t>(keyText.size()));
  ASSERT_EQ(::write(fds[1], "\r\n", 2), 2);
  ::close(fds[1]);
  const std::string fd = std::to_string(fds[0]);
  int status = -1;
  expectNoResidue([&] {
    TraceCapture tracing(trace::kVerbose);  // every trace line formatted, and freed under the scan
    status =
        runCommand(cli::initCommand, {"init", "--dir", dir.path().string(), "--identity", kIdentityText, "--no-reader",
                                      "--pin-fd", fd, "--admin-key-fd", fd, "--serial", kSerial, "--yes"});
  });
  ::close(fds[0]);
  EXPECT_EQ(status, cli::kExitOk);
  EXPECT_TRUE(fs::exists(container()));
}

// The stored card opened, changed (a wrong PIN costs a try), saved after each
// command, and the PIN verified.
TEST_F(SecretResidueTest, ApduScriptOnAStoredCard) {
  createCard();
  const Bytes before = readFileBytes(container());
  // The script, written without leaving a copy on the heap.
  const std::string script = (dir.path() / "verify.apdu").string();
  const int fd = ::open(script.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const std::string_view head = "00A4040409A0000003974254465900\n002000800430303030\n0020008010";
  ASSERT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  for (const char c : pin) {
    const char digits[] = {'3', c};  // the PIN's digits as hexadecimal text
    ASSERT_EQ(::write(fd, digits, 2), 2);
  }
  ASSERT_EQ(::write(fd, "\n", 1), 1);
  ::close(fd);
  int status = -1;
  expectNoResidue([&] {
    status = runCommand(cli::apduCommand, {"apdu", "--dir", dir.path().string(), "--identity", kIdentityText, script});
  });
  EXPECT_EQ(status, cli::kExitOk);
  EXPECT_TRUE(out.str().ends_with(" 9000\n63C2\n9000\n")) << out.str();
  EXPECT_NE(readFileBytes(container()), before) << "the changed card was not written";
}

TEST_F(SecretResidueTest, CardMemoryIsWipedBeforeTheHeapTakesItBack) {
  expectNoResidue(
      [&] {
        JCRuntimeImpl runtime;
        for (ISmartCardMemory* memory : {&runtime.persistentMemory(), &runtime.transientMemory()}) {
          void* freed = memory->allocate(24, JC_HERE("test"));
          std::memcpy(freed, key.data(), key.size());
          memory->free(freed, JC_HERE("test"));
          std::memcpy(memory->allocate(24, JC_HERE("test")), key.data(), key.size());  // released by the runtime
        }
      },
      4);
}

}  // namespace
}  // namespace quillon::test
