// Looks into every heap block the process gives back while a scan is running,
// for byte strings that must never be left behind in freed memory (PINs, keys,
// their text and encodings). Under AddressSanitizer it uses the allocator's free
// hook; in a plain build this executable replaces malloc, free, calloc and
// realloc. Only one scan runs at a time; it lives in its own test executable
// because it sees every free of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::test {

class FreedMemoryScan {
 public:
  struct Finding {
    std::string name;
    std::size_t blocks;  // freed blocks that held the pattern
    std::size_t firstBlockSize;
  };

  FreedMemoryScan() = default;
  ~FreedMemoryScan();
  FreedMemoryScan(const FreedMemoryScan&) = delete;
  FreedMemoryScan& operator=(const FreedMemoryScan&) = delete;

  // Before start(): a named pattern (at most 16 of them, each at least 4 bytes).
  void watch(std::string name, std::vector<std::uint8_t> pattern);
  void watch(std::string name, const std::string& pattern) {
    watch(std::move(name), std::vector<std::uint8_t>(pattern.begin(), pattern.end()));
  }

  void start();
  void stop();

  // The patterns seen in freed blocks, with the number of blocks each was in.
  std::vector<Finding> findings() const;
  // Freed blocks and bytes looked at: proof that the scan saw the frees.
  std::size_t blocksScanned() const;
  std::size_t bytesScanned() const;

 private:
  std::vector<std::string> names_;
  std::vector<std::vector<std::uint8_t>> patterns_;
  bool running_ = false;
};

}  // namespace quillon::test
