// Searches every heap block freed between start() and stop() for watched byte
// strings: secrets that must not outlive their use. It uses AddressSanitizer's
// free hook and sees every free of the process, so it lives in a test
// executable of its own, built under the sanitizer only.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace quillon::test::freed_memory {

// Named byte strings: up to 16, each of 4 bytes or more.
using Watched = std::vector<std::pair<std::string, std::string>>;

void start(const Watched& secrets);
void stop();
std::size_t blocksScanned();  // proof that the scan saw the frees
// One line a watched string seen: where and how often.
std::vector<std::string> findings();

}  // namespace quillon::test::freed_memory
