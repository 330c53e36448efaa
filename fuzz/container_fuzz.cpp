// A state document from a hostile container, read into a fresh applet: a failed
// or refused load is fine; a crash, a leak or an out-of-bounds read is not.
#include <cstddef>
#include <cstdint>
#include <span>

#include "StoredCard.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JCRuntimeImpl runtime;
  fuzz::loadCard(std::span(data, size), runtime);
  return 0;
}
