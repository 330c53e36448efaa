#include "cli/FreedMemoryScan.h"

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#define QUILLON_SCAN_WITH_HOOKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUILLON_SCAN_WITH_HOOKS 1
#endif
#endif

namespace quillon::test {
namespace {

// Everything the hook reads is plain static storage: the hook runs inside free
// and must not allocate.
constexpr std::size_t kMaxPatterns = 16;

struct Pattern {
  const unsigned char* data;
  std::size_t size;
};

Pattern patterns[kMaxPatterns];
std::size_t patternCount = 0;
std::atomic<bool> active{false};
std::atomic<std::size_t> hits[kMaxPatterns];
std::atomic<std::size_t> firstSize[kMaxPatterns];
std::atomic<std::size_t> blocks{0};
std::atomic<std::size_t> bytes{0};
thread_local bool insideHook = false;

void reportFirstHit(std::size_t index) noexcept;

void inspect(const void* block, std::size_t size) noexcept {
  if (block == nullptr || insideHook || !active.load(std::memory_order_acquire)) return;
  insideHook = true;
  blocks.fetch_add(1, std::memory_order_relaxed);
  bytes.fetch_add(size, std::memory_order_relaxed);
  const auto* data = static_cast<const unsigned char*>(block);
  for (std::size_t i = 0; i < patternCount; ++i) {
    const Pattern& p = patterns[i];
    if (size < p.size || ::memmem(data, size, p.data, p.size) == nullptr) continue;
    if (hits[i].fetch_add(1, std::memory_order_relaxed) == 0) {
      firstSize[i].store(size, std::memory_order_relaxed);
      reportFirstHit(i);
    }
  }
  insideHook = false;
}

}  // namespace
}  // namespace quillon::test

#ifdef QUILLON_SCAN_WITH_HOOKS

// AddressSanitizer runs the free hook before it releases (or quarantines) the
// block, so the block is still whole and its size still known.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                              void (*freeHook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
void __sanitizer_print_stack_trace();
}

namespace quillon::test {
namespace {

void onMalloc(const volatile void*, std::size_t) {}

void onFree(const volatile void* block) {
  if (block == nullptr || insideHook || !active.load(std::memory_order_acquire)) return;
  inspect(const_cast<const void*>(block), __sanitizer_get_allocated_size(block));
}

void installHooks() {
  static const int installed = __sanitizer_install_malloc_and_free_hooks(onMalloc, onFree);
  if (installed == 0) throw std::runtime_error("the sanitizer refused the malloc and free hooks");
}

// Where the secret was freed, for whoever has to find the leak.
void reportFirstHit(std::size_t index) noexcept {
  std::fprintf(stderr, "FreedMemoryScan: pattern %zu in a freed block of %zu bytes, freed at:\n", index,
               firstSize[index].load());
  __sanitizer_print_stack_trace();
}

}  // namespace
}  // namespace quillon::test

#else

// A plain build: this executable's malloc family stands in front of the C
// library's and looks at each block before it goes back. realloc always moves
// the block, as the C library may, so the old block is looked at too.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void __libc_free(void* block);

void* malloc(std::size_t size) noexcept { return __libc_malloc(size); }
void* calloc(std::size_t count, std::size_t size) noexcept { return __libc_calloc(count, size); }
void free(void* block) noexcept {
  if (block != nullptr) quillon::test::inspect(block, ::malloc_usable_size(block));
  __libc_free(block);
}
void* realloc(void* block, std::size_t size) noexcept {
  if (block == nullptr) return __libc_malloc(size);
  if (size == 0) {
    free(block);
    return nullptr;
  }
  void* moved = __libc_malloc(size);
  if (moved == nullptr) return nullptr;
  const std::size_t old = ::malloc_usable_size(block);
  std::memcpy(moved, block, std::min(old, size));
  free(block);
  return moved;
}
}

namespace quillon::test {
namespace {

void installHooks() {}

void reportFirstHit(std::size_t index) noexcept {
  std::fprintf(stderr, "FreedMemoryScan: pattern %zu in a freed block of %zu bytes\n", index, firstSize[index].load());
}

}  // namespace
}  // namespace quillon::test

#endif

namespace quillon::test {

FreedMemoryScan::~FreedMemoryScan() {
  if (running_) stop();
}

void FreedMemoryScan::watch(std::string name, std::vector<std::uint8_t> pattern) {
  if (running_ || patterns_.size() == kMaxPatterns || pattern.size() < 4)
    throw std::logic_error("FreedMemoryScan::watch: too many patterns, a short one, or a running scan");
  names_.push_back(std::move(name));
  patterns_.push_back(std::move(pattern));
}

void FreedMemoryScan::start() {
  if (active.load()) throw std::logic_error("FreedMemoryScan: another scan is running");
  installHooks();
  patternCount = patterns_.size();
  for (std::size_t i = 0; i < patternCount; ++i) {
    patterns[i] = {patterns_[i].data(), patterns_[i].size()};
    hits[i] = 0;
    firstSize[i] = 0;
  }
  blocks = 0;
  bytes = 0;
  running_ = true;
  active.store(true, std::memory_order_release);
}

void FreedMemoryScan::stop() {
  active.store(false, std::memory_order_release);
  running_ = false;
}

std::vector<FreedMemoryScan::Finding> FreedMemoryScan::findings() const {
  std::vector<Finding> found;
  for (std::size_t i = 0; i < patterns_.size(); ++i)
    if (hits[i] != 0) found.push_back({names_[i], hits[i].load(), firstSize[i].load()});
  return found;
}

std::size_t FreedMemoryScan::blocksScanned() const { return blocks.load(); }
std::size_t FreedMemoryScan::bytesScanned() const { return bytes.load(); }

}  // namespace quillon::test
