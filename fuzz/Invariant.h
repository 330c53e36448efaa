// A property a fuzz target checks beyond "no crash": when it does not hold, the
// run stops with a message, and libFuzzer reports the abort as a crash and
// writes the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace quillon::fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace quillon::fuzz
