// Command sequences from a hostile terminal against a card: the first byte picks
// a card in its initialisation phase (even) or a personalised one (odd); the rest
// is a command stream (CommandStream.h). Nothing may crash, leak or read out of
// bounds.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "CommandStream.h"
#include "gids/GidsApplet.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/ScriptExecutor.h"
#include "runtime/JCRuntimeImpl.h"

using namespace quillon;

namespace {

// The personalisation script as command bytes, scanned once: only the card's
// own work is left per input.
const std::vector<std::vector<std::uint8_t>>& personalisation() {
  static const std::vector<std::vector<std::uint8_t>> commands = [] {
    static const std::uint8_t key[24] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12,
                                         13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
    std::vector<std::vector<std::uint8_t>> scanned;
    for (const ScriptCommand& c : personalisationScript("1234", key, "00112233445566778899AABBCCDDEEFF")) {
      const ossl::SecureBytes bytes = scanCommandText(c.c_str());
      scanned.emplace_back(bytes.begin(), bytes.end());
    }
    return scanned;
  }();
  return commands;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  if (data[0] & 1) {
    std::uint8_t response[300];
    for (const std::vector<std::uint8_t>& c : personalisation()) {
      std::uint32_t length = sizeof response;
      runtime.transmit(c.data(), static_cast<std::uint32_t>(c.size()), response, length);
    }
  }
  fuzz::sendCommands(runtime, std::span(data + 1, size - 1));
  return 0;
}
