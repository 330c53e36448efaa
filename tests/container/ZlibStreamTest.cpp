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

// Blocks other than zlib's state (which a reset leaves usable) holding a nonzero byte.
std::size_t dirtyBlocks(const DeflateStream& stream, const void* state) {
  const ZlibBlocks& blocks = stream.blocks();
  std::size_t n = 0;
  for (std::size_t i = 0; i < ZlibBlocks::kMax; ++i)
    n += blocks.address[i] != nullptr && blocks.address[i] != state &&
         !holdsOnlyZeros(blocks.address[i], blocks.size[i]);
  return n;
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
    EXPECT_GT(dirtyBlocks(deflater, z.state), 0u) << "the window must have held the input before the wipe";
    deflater.wipe();
    EXPECT_EQ(dirtyBlocks(deflater, z.state), 0u) << "round " << round;
  }
}

// compress() uses are wiped only where they can have written: still nothing of
// them stays, whether they finished, ran out of room, or came several to a wipe.
TEST(ZlibStreamTest, WipeAfterCompressLeavesNoBufferWithData) {
  std::vector<std::uint8_t> text(40000);
  std::vector<std::uint8_t> noise(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    text[i] = static_cast<std::uint8_t>("<key blobData=\""[i % 15] + (i / 97) % 5);
    noise[i] = static_cast<std::uint8_t>((i * 2654435761u) >> 13);
  }
  struct Use {
    const std::vector<std::uint8_t>* data;
    std::size_t dictionary, input, room;
  };
  const struct {
    const char* what;
    int level;
    std::vector<Use> uses;
  } cases[] = {
      {"text after a dictionary", 6, {{&text, 5000, 20000, 40000}}},
      {"a long use, then a short one", 6, {{&text, 32768, 7000, 40000}, {&text, 0, 300, 40000}}},
      {"noise that outgrows its room", 6, {{&noise, 0, 30000, 4000}}},
      {"noise finished", 6, {{&noise, 1000, 30000, 40000}}},
      {"stored blocks", 0, {{&noise, 0, 32768, 40000}}},
  };
  std::vector<std::uint8_t> output(50000);
  for (const auto& c : cases) {
    DeflateStream deflater(c.level);
    ASSERT_EQ(deflater.initResult(), Z_OK) << c.what;
    EXPECT_TRUE(deflater.wipesByUse()) << c.what << ": this zlib's buffers were not recognised";
    // get() would make the next wipe whole: the state is looked up before the uses.
    const void* state = deflater.get().state;
    deflater.wipe();
    for (int round = 0; round < 2; ++round) {
      for (const Use& use : c.uses) {
        std::size_t written = 0;
        const int rc = deflater.compress(use.data->data(), use.dictionary, use.data->data() + use.dictionary, use.input,
                                         output.data(), use.room, written);
        EXPECT_TRUE(rc == Z_STREAM_END || rc == Z_OK) << c.what << ": " << rc;
      }
      EXPECT_GT(dirtyBlocks(deflater, state), 0u) << c.what;
      deflater.wipe();
      EXPECT_EQ(dirtyBlocks(deflater, state), 0u) << c.what << ", round " << round;
    }
  }
}

}  // namespace
}  // namespace quillon::container
