#include "cli/FreedMemoryScan.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <stdexcept>

// AddressSanitizer runs the free hook before it releases (or quarantines) the
// block, so the block is still whole and its size still known.
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*mallocHook)(const volatile void*, std::size_t),
                                              void (*freeHook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
void __sanitizer_print_stack_trace();
}

namespace quillon::test::freed_memory {
namespace {

// The hook runs inside free and must not allocate: all it reads is set up before.
constexpr std::size_t kMaxPatterns = 16;
std::string names[kMaxPatterns], patterns[kMaxPatterns];
std::size_t patternCount = 0;
std::atomic<bool> active{false};
std::atomic<std::size_t> hits[kMaxPatterns], firstSize[kMaxPatterns], blocks{0};
thread_local bool insideHook = false;

void onFree(const volatile void* volatileBlock) {
  if (volatileBlock == nullptr || insideHook || !active.load(std::memory_order_acquire)) return;
  insideHook = true;
  const void* block = const_cast<const void*>(volatileBlock);
  const std::size_t size = __sanitizer_get_allocated_size(volatileBlock);
  blocks.fetch_add(1, std::memory_order_relaxed);
  for (std::size_t i = 0; i < patternCount; ++i) {
    const std::string& p = patterns[i];
    if (size < p.size() || ::memmem(block, size, p.data(), p.size()) == nullptr) continue;
    if (hits[i].fetch_add(1, std::memory_order_relaxed) == 0) {
      firstSize[i].store(size, std::memory_order_relaxed);
      std::fprintf(stderr, "FreedMemoryScan: %s freed at:\n", names[i].c_str());  // for whoever finds the leak
      __sanitizer_print_stack_trace();
    }
  }
  insideHook = false;
}

}  // namespace

void start(const Watched& secrets) {
  if (active || secrets.size() > kMaxPatterns) throw std::logic_error("FreedMemoryScan: too many patterns or running");
  static const int installed =
      __sanitizer_install_malloc_and_free_hooks([](const volatile void*, std::size_t) {}, onFree);
  if (installed == 0) throw std::runtime_error("the sanitizer refused the malloc and free hooks");
  patternCount = 0;
  for (const auto& [name, bytes] : secrets) {
    if (bytes.size() < 4) throw std::logic_error("FreedMemoryScan: a pattern too short to mean anything: " + name);
    names[patternCount] = name;
    patterns[patternCount] = bytes;
    hits[patternCount] = firstSize[patternCount] = 0;
    ++patternCount;
  }
  blocks = 0;
  active.store(true, std::memory_order_release);
}

void stop() { active.store(false, std::memory_order_release); }

std::size_t blocksScanned() { return blocks.load(); }

std::vector<std::string> findings() {
  std::vector<std::string> found;
  for (std::size_t i = 0; i < patternCount; ++i)
    if (hits[i] != 0)
      found.push_back(names[i] + " left in " + std::to_string(hits[i]) + " freed block(s), the first of " +
                      std::to_string(firstSize[i]) + " bytes");
  return found;
}

}  // namespace quillon::test::freed_memory
