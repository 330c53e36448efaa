// The command part of a fuzz input: APDUs one after another, each a length byte
// followed by that many bytes (fewer when the input ends first). The seed
// generator writes sessions in the same form.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "jc/IJCRuntime.h"

namespace quillon::fuzz {

// Sends every command of `stream` through transmit(); answers are dropped.
inline void sendCommands(IJCRuntime& runtime, std::span<const std::uint8_t> stream) {
  std::uint8_t response[600];
  std::size_t at = 0;
  while (at < stream.size()) {
    const std::size_t declared = stream[at];
    ++at;
    const std::size_t n = std::min(declared, stream.size() - at);
    std::uint32_t length = sizeof response;
    runtime.transmit(stream.data() + at, static_cast<std::uint32_t>(n), response, length);
    at += n;
  }
}

// Appends one command in the stream's form (at most 255 bytes are kept).
inline void appendCommand(std::vector<std::uint8_t>& stream, std::span<const std::uint8_t> command) {
  const std::size_t n = std::min<std::size_t>(command.size(), 255);
  stream.push_back(static_cast<std::uint8_t>(n));
  stream.insert(stream.end(), command.begin(), command.begin() + static_cast<std::ptrdiff_t>(n));
}

}  // namespace quillon::fuzz
