// The codec against the buffer Windows wrote, round trips of the sizes around a
// chunk, history across chunks, stored chunks, and the decompressed-size cap.
#include <gtest/gtest.h>

#include <algorithm>

#include "MszipTestSupport.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using test::Bytes;

Bytes compress(const Bytes& data) {
  ossl::SecureBytes out;
  EXPECT_EQ(CabinetCompress(data.data(), data.size(), out), 0u);
  return Bytes(out.begin(), out.end());
}

Bytes decompress(const Bytes& buffer) {
  ossl::SecureBytes out;
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0u);
  return Bytes(out.begin(), out.end());
}

TEST(MszipWindowsVector, DecodesToTheStatedBytesAndOurHeaderIsTheSame) {
  const Bytes windows = test::readHexFile("container/mszip-windows-156.hex");
  ASSERT_EQ(windows.size(), 159u);
  EXPECT_EQ(mszip::checkByte(windows.data()), 0x0C);
  const Bytes plain = decompress(windows);
  ASSERT_EQ(plain.size(), 156u);
  std::uint8_t digest[32];
  ASSERT_TRUE(Sha256(plain.data(), plain.size(), digest));
  EXPECT_EQ(test::toHex(Bytes(digest, digest + 32)),
            "651931D271096683E03BB775DCF8FECD3893A35742963BE02AF1C71FB96DF9C2");

  // What we write for the same bytes: the same 24-byte header, then one chunk.
  const Bytes ours = compress(plain);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 24, windows.begin()));
  EXPECT_EQ(test::chunkPositions(ours).size(), 1u);
}

class MszipRoundTrip : public ::testing::TestWithParam<std::size_t> {};

TEST_P(MszipRoundTrip, TextAndRandomBytesComeBackFromWellFormedChunks) {
  const std::size_t size = GetParam();
  for (const Bytes& input : {test::xmlLikeText(size, 7), test::randomBytes(size, 7)}) {
    const Bytes buffer = compress(input);
    std::uint64_t total = 0;
    ASSERT_EQ(mszip::readHeader(buffer.data(), buffer.size(), total), mszip::Error::kNone);
    EXPECT_EQ(total, size);
    EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), std::min<std::uint64_t>(size, 32768));
    const auto chunks = test::chunkPositions(buffer);
    EXPECT_EQ(chunks.size(), (size + 32767) / 32768);
    for (const auto& chunk : chunks) EXPECT_LE(chunk.length, mszip::kMaxChunkBytes);
    EXPECT_EQ(decompress(buffer), input);
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, MszipRoundTrip, ::testing::Values(0, 1, 32767, 32768, 32769, 300000));

TEST(MszipEncoding, LaterChunksReferBackIntoThePreviousChunk) {
  // A 30000-byte random block three times over: only history makes chunks 2 and 3 small.
  const Bytes block = test::randomBytes(30000, 3);
  Bytes input;
  for (int i = 0; i < 3; ++i) input.insert(input.end(), block.begin(), block.end());
  const Bytes buffer = compress(input);
  const auto chunks = test::chunkPositions(buffer);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_LT(chunks[1].length, 1000u);
  EXPECT_LT(chunks[2].length, 1000u);
  EXPECT_EQ(decompress(buffer), input);
}

TEST(MszipEncoding, ChunkOverItsBudgetIsStoredAndObjectsAreReusable) {
  // Random chunks cannot deflate under 1000 bytes and fall back to stored blocks;
  // the repetitive chunk between them still deflates.
  Bytes input = test::randomBytes(32768, 5);
  const Bytes text(32768, 'Q');
  const Bytes tail = test::randomBytes(1000, 6);
  input.insert(input.end(), text.begin(), text.end());
  input.insert(input.end(), tail.begin(), tail.end());

  MszipEncoder encoder(1000);
  MszipDecoder decoder;
  for (int round = 0; round < 2; ++round) {
    Bytes buffer(MszipEncoder::bound(input.size()));
    std::size_t written = 0;
    ASSERT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), mszip::Error::kNone);
    buffer.resize(written);
    const auto chunks = test::chunkPositions(buffer);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].length, 2u + 5u + 32768u);  // "CK", one stored block header, the bytes
    EXPECT_LT(chunks[1].length, 1000u);
    EXPECT_EQ(chunks[2].length, 2u + 5u + 1000u);
    Bytes output(input.size());
    ASSERT_EQ(decoder.decode(buffer.data(), written, output.data(), output.size()), mszip::Error::kNone);
    EXPECT_EQ(output, input);
  }
  Bytes small(MszipEncoder::bound(input.size()) - 1);
  std::size_t written = 1;
  EXPECT_EQ(encoder.encode(input.data(), input.size(), small.data(), small.size(), written), mszip::Error::kOutputSize);
  EXPECT_EQ(written, 0u);
}

TEST(MszipDecoding, FullCapIsAcceptedAndOneMoreByteIsNot) {
  const Bytes input = test::xmlLikeText(kDecompressedCap, 9);
  EXPECT_EQ(decompress(compress(input)), input);
  const Bytes over = test::xmlLikeText(kDecompressedCap + 1, 9);
  const Bytes buffer = compress(over);
  ossl::SecureBytes out;
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), status::HRESULT_FILE_TOO_LARGE);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace quillon::container
