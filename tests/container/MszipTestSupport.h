// Inputs of the MSZIP and container tests: deterministic sample data, the buffer
// our encoder writes, and a trusting walk over the chunks of such a buffer (to
// corrupt one field at a time or to rewrap the chunks as a cabinet).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;

// Text shaped like the card's state document: elements, attributes and Base64.
inline Bytes xmlLikeText(std::size_t size, unsigned seed = 1) {
  std::mt19937 rng(seed);
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char* const kNames[] = {"ElementaryFile", "DedicatedFile", "Record", "PinManager", "RSAKey"};
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS version=\"2\">\n";
  while (text.size() < size) {
    const std::string name = kNames[rng() % 5];
    text += "  <" + name + " id=\"" + std::to_string(0xA000 + rng() % 0x100) + "\">\n    <Data>";
    for (std::size_t i = rng() % 300; i > 0; --i) text += kBase64[rng() % 64];
    text += "</Data>\n  </" + name + ">\n";
  }
  text.resize(size);
  return Bytes(text.begin(), text.end());
}

inline Bytes randomBytes(std::size_t size, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// The buffer MszipEncoder writes for `data`; empty (and a test failure) when it fails.
inline Bytes encodeMszip(const Bytes& data, std::size_t budget = container::MszipEncoder::kDeflateBudget) {
  Bytes buffer(container::MszipEncoder::bound(data.size()));
  std::size_t written = 0;
  const auto error =
      container::MszipEncoder(budget).encode(data.data(), data.size(), buffer.data(), buffer.size(), written);
  EXPECT_EQ(error, container::mszip::Error::kNone);
  buffer.resize(error == container::mszip::Error::kNone ? written : 0);
  return buffer;
}

struct ChunkPosition {
  std::size_t offset;  // of the LEN field
  std::uint32_t length;
};

inline std::vector<ChunkPosition> chunkPositions(const Bytes& buffer) {
  std::vector<ChunkPosition> chunks;
  std::size_t pos = container::mszip::kHeaderSize;
  for (; pos + 4 <= buffer.size(); pos += 4 + chunks.back().length)
    chunks.push_back({pos, container::mszip::loadLe32(buffer.data() + pos)});
  EXPECT_EQ(pos, buffer.size()) << "not a buffer of whole chunks";
  return chunks;
}

}  // namespace quillon::test
