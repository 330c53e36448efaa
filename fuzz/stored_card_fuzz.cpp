// A stored card at work: the input is a decrypted state document, a NUL byte
// (never part of an XML document) and a command stream (CommandStream.h). The
// document is loaded as a container's would be, the commands run against the
// card, and the state the card writes afterwards must load again and write back
// the same document.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "CommandStream.h"
#include "StoredCard.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  const auto nul = std::find(input.begin(), input.end(), std::uint8_t{0});
  const auto documentSize = static_cast<std::size_t>(nul - input.begin());
  JCRuntimeImpl runtime;
  if (!fuzz::loadCard(input.first(documentSize), runtime)) return 0;
  if (nul != input.end()) fuzz::sendCommands(runtime, input.subspan(documentSize + 1));
  const ossl::SecureBytes state = fuzz::snapshotCard(runtime);
  if (fuzz::reloadCard(state) != state) fuzz::fail("a stored card reads back differently");
  return 0;
}
