// Inputs and hand-built buffers for the MSZIP tests: deterministic sample data,
// raw deflate streams made directly with zlib, a trusting walk over the chunks of
// a buffer this codec wrote (to corrupt one field at a time), and minimal
// cabinet files (one MSZIP folder, one file) for the independent implementations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;

// Text shaped like the card's state document: elements, attributes and Base64.
Bytes xmlLikeText(std::size_t size, unsigned seed = 1);
Bytes randomBytes(std::size_t size, unsigned seed = 1);

// One complete raw deflate stream (level 6); with finish false it ends in a sync
// flush instead of a final block.
Bytes rawDeflate(const Bytes& data, bool finish = true);
// A buffer with a valid header for `total` and one chunk per entry of `deflateData`.
Bytes assembleMszip(std::uint64_t total, const std::vector<Bytes>& deflateData);

struct ChunkPosition {
  std::size_t offset;  // of the LEN field
  std::uint32_t length;
};
std::vector<ChunkPosition> chunkPositions(const Bytes& buffer);
// Recomputes the check byte after a header field was changed on purpose.
void refreshCheckByte(Bytes& buffer);

// A cabinet holding `fileName`, whose CFDATA blocks are the chunks of `mszip`
// ("CK" + deflate, without their LEN field).
Bytes cabinetFromMszip(const Bytes& mszip, const std::string& fileName);
// The MSZIP buffer whose chunks are the CFDATA blocks of a single-folder cabinet;
// empty (and a test failure) when the cabinet is not of that shape.
Bytes mszipFromCabinet(const Bytes& cabinet);

}  // namespace quillon::test
