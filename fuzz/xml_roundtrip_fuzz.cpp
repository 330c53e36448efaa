// A state document that a card accepts must survive being written and read
// again: the card writes it, a fresh card reads that and writes it once more,
// and the two written documents are the same bytes.
#include <cstddef>
#include <cstdint>
#include <span>

#include "StoredCard.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JCRuntimeImpl runtime;
  if (!fuzz::loadCard(std::span(data, size), runtime)) return 0;
  const ossl::SecureBytes first = fuzz::snapshotCard(runtime);
  if (fuzz::reloadCard(first) != first) fuzz::fail("a written document reads back differently");
  return 0;
}
