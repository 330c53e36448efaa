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
#include "container/ZlibStream.h"
#include "personalise/CreateSecureContainer.h"
#include "runtime/JCRuntimeImpl.h"
#include "support/CapturingSink.h"
#include "support/TestData.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SCAN_WITH_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SCAN_WITH_HOOKS 1
#endif
#endif

#ifdef QUILLON_SCAN_WITH_HOOKS
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*)(const volatile void*, std::size_t),
                                              void (*)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
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

#ifdef QUILLON_SCAN_WITH_HOOKS
thread_local bool insideScan = false;
// AddressSanitizer runs the free hook before it releases the block, whole and with its size known.
const int kHooks = __sanitizer_install_malloc_and_free_hooks(  // its slot; 0: refused
    [](const volatile void*, std::size_t) {},
    [](const volatile void* freed) {
      if (freed == nullptr || insideScan || !scanning.load(std::memory_order_acquire)) return;
      insideScan = true;
      const void* block = const_cast<const void*>(freed);
      const std::size_t size = __sanitizer_get_allocated_size(freed);
      blocksScanned.fetch_add(1, std::memory_order_relaxed);
      for (std::size_t i = 0; i < patternCount; ++i)
        if (size >= patterns[i].size() && ::memmem(block, size, patterns[i].data(), patterns[i].size()) != nullptr &&
            hits[i]++ == 0)
          std::fprintf(stderr, "SecretResidueTest: pattern %zu in a freed block of %zu bytes\n", i, size);
      insideScan = false;
    });
#else
const int kHooks = -1;  // no free hook to search with
#endif

namespace fs = std::filesystem;
constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
constexpr const char* kIdentityText = "ACME:STICK:1.00:SN0001";

// Writes `text` to `fd` straight from where it lies: no heap copy of a secret.
bool put(int fd, std::string_view text) { return ::write(fd, text.data(), text.size()) == ssize_t(text.size()); }

class SecretResidueTest : public ::testing::Test {
 protected:
  SecretResidueTest() {
    // A new PIN and key for every run: nothing else in the process holds them.
    std::mt19937_64 random(std::random_device{}());
    for (int i = 0; i < 16; ++i) pin += static_cast<char>('0' + random() % 10);
    for (std::uint8_t& b : key) b = static_cast<std::uint8_t>(random());
    keyText = hex::encode(key);
    for (char& c : keyText) c = static_cast<char>(std::tolower(c));  // typed in lower case
    patternCount = 0;
    patterns[patternCount++] = Bytes(keyText.begin(), keyText.end());
    for (const Bytes& secret : {Bytes(pin.begin(), pin.end()), key}) {
      const std::string text = hex::encode(secret);
      patterns[patternCount++] = secret;
      patterns[patternCount++] = Bytes(text.begin(), text.end());
      // Base64 at each of the three alignments, whole groups of three only.
      for (std::size_t offset = 0; offset < 3; ++offset) {
        const std::size_t length = (secret.size() - offset) / 3 * 3;
        std::string b64(base64::textBufferSize(length), '\0');
        b64.resize(base64::encode({secret.data() + offset, length}, {b64.data(), b64.size()}).value_or(0));
        patterns[patternCount++] = Bytes(b64.begin(), b64.end());
      }
    }
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
  // Runs a command with its standard output in `out`; its exit status.
  int run(int (*command)(int, char**), std::vector<std::string> words) {
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    std::streambuf* saved = std::cout.rdbuf(out.rdbuf());
    const int status = command(static_cast<int>(words.size()), argv.data());
    std::cout.rdbuf(saved);
    return status;
  }

  std::ostringstream out;
  TempDir dir;
  const std::string container = (dir.path() / FilePersist::kContainerName).string();
  std::string pin, keyText;
  Bytes key = Bytes(24);
};

TEST_F(SecretResidueTest, Init) {
  int fds[2];  // both secrets on one descriptor, the key's line ending in CR LF
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_TRUE(put(fds[1], pin) && put(fds[1], "\n") && put(fds[1], keyText) && put(fds[1], "\r\n"));
  ::close(fds[1]);
  const std::string fd = std::to_string(fds[0]);
  int status = -1;
  expectNoResidue([&] {
    TraceCapture tracing(trace::kVerbose);  // every trace line formatted, and freed under the scan
    status = run(cli::initCommand, {"init", "--dir", dir.path().string(), "--identity", kIdentityText, "--no-reader",
                                    "--pin-fd", fd, "--admin-key-fd", fd, "--serial", kSerial, "--yes"});
  });
  ::close(fds[0]);
  EXPECT_EQ(status, cli::kExitOk);
  EXPECT_TRUE(fs::exists(container));
}

// The stored card opened, changed (a wrong PIN costs a try), saved after each
// command, and the PIN verified.
TEST_F(SecretResidueTest, ApduScriptOnAStoredCard) {
  DeviceIdentity identity{"ACME", "STICK", "1.00", "SN0001"};
  ASSERT_EQ(CreateSecureContainer(pin.c_str(), key.data(), kSerial, dir.path().string(), &identity), 0u);
  const Bytes before = readFileBytes(container);
  const std::string script = (dir.path() / "verify.apdu").string();
  const int fd = ::open(script.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_TRUE(put(fd, "00A4040409A0000003974254465900\n002000800430303030\n0020008010"));
  for (const char c : pin) ASSERT_TRUE(put(fd, std::string{'3', c}));  // the digits as hexadecimal text
  ASSERT_TRUE(put(fd, "\n"));
  ::close(fd);
  int status = -1;
  expectNoResidue([&] {
    status = run(cli::apduCommand, {"apdu", "--dir", dir.path().string(), "--identity", kIdentityText, script});
  });
  EXPECT_EQ(status, cli::kExitOk);
  EXPECT_TRUE(out.str().ends_with(" 9000\n63C2\n9000\n")) << out.str();
  EXPECT_NE(readFileBytes(container), before) << "the changed card was not written";
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

// A stream dropped without its wipe (an error path): zlib's blocks are wiped as
// they go back all the same.
TEST_F(SecretResidueTest, ZlibStreamsAreWipedBeforeTheHeapTakesThemBack) {
  expectNoResidue(
      [&] {
        container::DeflateStream stream(6);
        Bytes output(256);
        z_stream& z = stream.get();
        z.next_in = reinterpret_cast<const Bytef*>(keyText.data());
        z.avail_in = static_cast<uInt>(keyText.size());
        z.next_out = output.data();
        z.avail_out = static_cast<uInt>(output.size());
        EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
      },
      3);
}

}  // namespace
}  // namespace quillon::test
