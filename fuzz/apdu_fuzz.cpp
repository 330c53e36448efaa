// Command sequences from a hostile terminal against a personalised card: the
// input is split into APDUs (a length byte, then that many bytes), each sent
// through transmit(). Nothing may crash, leak or read out of bounds.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/Hex.h"
#include "gids/GidsApplet.h"
#include "jc/JCRuntimeImpl.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/ScriptExecutor.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  JCRuntimeImpl runtime;
  GidsApplet::install(runtime);
  static const std::uint8_t key[24] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};
  // Half the runs on a card in its initialisation phase, half on a personalised one.
  if (size > 0 && (data[0] & 1)) {
    for (const ScriptCommand& c : personalisationScript("1234", key, "00112233445566778899AABBCCDDEEFF"))
      execute(runtime, c.c_str());
  }
  std::size_t at = size > 0 ? 1 : 0;
  std::uint8_t response[300];
  while (at < size) {
    const std::size_t n = std::min<std::size_t>(data[at++], size - at);
    std::uint32_t length = sizeof response;
    runtime.transmit(data + at, static_cast<std::uint32_t>(n), response, length);
    at += n;
  }
  return 0;
}
