#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "container/ZlibStream.h"

namespace quillon::container {
namespace {

bool holdsOnlyZeros(const void* block, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(block);
  return std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

// After a wipe no buffer of the stream holds a byte of what it compressed,
// whether zlib's reset or our wipe cleared it, and the stream compresses again.
TEST(ZlibStreamTest, WipeLeavesNoBufferWithDataAndTheStreamReusable) {
  DeflateStream deflater(6);
  ASSERT_EQ(deflater.initResult(), Z_OK);
  std::vector<std::uint8_t> input(20000);
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  std::vector<std::uint8_t> output(input.size() * 2);

  for (int round = 0; round < 2; ++round) {
    z_stream& z = deflater.get();
    z.next_in = input.data();
    z.avail_in = static_cast<uInt>(input.size());
    z.next_out = output.data();
    z.avail_out = static_cast<uInt>(output.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END) << "round " << round;
    // Blocks other than zlib's state (which a reset leaves usable) holding a nonzero byte.
    const auto dirty = [&] {
      const ZlibBlocks& blocks = deflater.blocks();
      std::size_t n = 0;
      for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i)
        n += blocks.address[i] != nullptr && blocks.address[i] != static_cast<const void*>(z.state) &&
             !holdsOnlyZeros(blocks.address[i], blocks.size[i]);
      return n;
    };
    EXPECT_GT(dirty(), 0u) << "the window must have held the input before the wipe";
    deflater.wipe();
    EXPECT_EQ(dirty(), 0u) << "round " << round;
  }
}

}  // namespace
}  // namespace quillon::container
