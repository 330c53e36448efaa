// Inputs and hand-built buffers for the MSZIP tests: deterministic sample data,
// raw deflate streams made directly with zlib, and a trusting walk over the
// chunks of a buffer this codec wrote, to corrupt one field at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;

// Text shaped like the card's state document: elements, attributes, hex and Base64.
Bytes xmlLikeText(std::size_t size, unsigned seed = 1);
Bytes randomBytes(std::size_t size, unsigned seed = 1);

// One complete raw deflate stream (level 6) of data, primed with `dictionary`.
// With finish false the stream ends in a sync flush instead of a final block.
Bytes rawDeflate(const Bytes& data, const Bytes& dictionary = {}, bool finish = true);

// A buffer with a valid header for `total` and one chunk per entry of `deflateData`.
Bytes assembleMszip(std::uint64_t total, const std::vector<Bytes>& deflateData);

struct ChunkPosition {
  std::size_t offset;  // of the LEN field
  std::uint32_t length;
};
std::vector<ChunkPosition> chunkPositions(const Bytes& buffer);

// Recomputes the check byte after a header field was changed on purpose.
void refreshCheckByte(Bytes& buffer);

}  // namespace quillon::test
