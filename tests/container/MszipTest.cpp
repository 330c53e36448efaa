// The codec against the buffer Windows wrote, and round trips through it.
#include <gtest/gtest.h>

#include <algorithm>

#include "MszipSamples.h"
#include "TestData.h"
#include "base/Hex.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"

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

std::string sha256Hex(const std::uint8_t* data, std::size_t size) {
  std::uint8_t digest[32];
  EXPECT_TRUE(Sha256(data, size, digest));
  return hex::encode(digest);
}

TEST(MszipWindowsVector, DecodesToTheStatedBytes) {
  const Bytes buffer = test::readHexFile("mszip-windows-156.hex");
  ASSERT_EQ(buffer.size(), 159u);
  EXPECT_EQ(buffer[6], 0x0C);
  EXPECT_EQ(mszip::checkByte(buffer.data()), 0x0C);

  const Bytes plain = decompress(buffer);
  ASSERT_EQ(plain.size(), 156u);
  EXPECT_EQ(sha256Hex(plain.data(), plain.size()), "651931D271096683E03BB775DCF8FECD3893A35742963BE02AF1C71FB96DF9C2");
}

TEST(MszipWindowsVector, OurHeaderForTheSameSizeIsByteIdentical) {
  const Bytes windows = test::readHexFile("mszip-windows-156.hex");
  std::uint8_t header[mszip::kHeaderSize];
  mszip::writeHeader(156, header);
  EXPECT_TRUE(std::equal(header, header + mszip::kHeaderSize, windows.begin()));

  // And the whole buffer we write for those bytes is one well-formed chunk.
  const Bytes ours = compress(decompress(windows));
  const auto chunks = test::chunkPositions(ours);
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 24, windows.begin()));
}

struct RoundTripCase {
  std::size_t size;
  bool random;
};

void PrintTo(const RoundTripCase& c, std::ostream* os) { *os << (c.random ? "random " : "text ") << c.size; }

class MszipRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(MszipRoundTrip, DecodesToTheInputWithWellFormedChunks) {
  const auto [size, random] = GetParam();
  const Bytes input = random ? test::randomBytes(size, 7) : test::xmlLikeText(size, 7);
  const Bytes buffer = compress(input);

  std::uint64_t total = 0;
  ASSERT_EQ(mszip::readHeader(buffer.data(), buffer.size(), total), mszip::Error::kNone);
  EXPECT_EQ(total, size);
  EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), std::min<std::uint64_t>(size, 32768));
  const auto chunks = test::chunkPositions(buffer);
  EXPECT_EQ(chunks.size(), (size + 32767) / 32768);
  for (const auto& chunk : chunks) {
    EXPECT_LE(chunk.length, mszip::kMaxChunkBytes);
    EXPECT_EQ(buffer[chunk.offset + 4], 'C');
    EXPECT_EQ(buffer[chunk.offset + 5], 'K');
  }
  if (!random && size >= 32768) {
    EXPECT_LT(buffer.size(), size * 3 / 4);  // the sample is about half Base64
  }

  EXPECT_EQ(decompress(buffer), input);
}

INSTANTIATE_TEST_SUITE_P(Sizes, MszipRoundTrip,
                         ::testing::Values(RoundTripCase{0, false}, RoundTripCase{1, false},
                                           RoundTripCase{32767, false}, RoundTripCase{32768, false},
                                           RoundTripCase{32769, false}, RoundTripCase{300000, false},
                                           RoundTripCase{1, true}, RoundTripCase{32767, true},
                                           RoundTripCase{32768, true}, RoundTripCase{32769, true},
                                           RoundTripCase{300000, true}),
                         [](const ::testing::TestParamInfo<RoundTripCase>& c) {
                           return std::string(c.param.random ? "Random" : "Text") + std::to_string(c.param.size);
                         });

TEST(MszipEncoding, EmptyInputIsTheHeaderAlone) {
  const Bytes buffer = compress({});
  ASSERT_EQ(buffer.size(), mszip::kHeaderSize);
  EXPECT_EQ(mszip::loadLe64(buffer.data() + 8), 0u);
  EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), 0u);
  EXPECT_TRUE(decompress(buffer).empty());
}

TEST(MszipEncoding, LaterChunksReferBackIntoThePreviousChunk) {
  // A 30000-byte random block three times over: only history makes chunks 2 and 3 small.
  const Bytes block = test::randomBytes(30000, 3);
  Bytes input;
  for (int i = 0; i < 3; ++i) input.insert(input.end(), block.begin(), block.end());
  const Bytes buffer = compress(input);
  const auto chunks = test::chunkPositions(buffer);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_GT(chunks[0].length, 30000u);
  EXPECT_LT(chunks[1].length, 1000u);
  EXPECT_LT(chunks[2].length, 1000u);
  EXPECT_EQ(decompress(buffer), input);
}

TEST(MszipEncoding, ChunkOverItsBudgetIsStored) {
  // Random chunks cannot deflate under 1000 bytes and fall back to stored blocks;
  // the repetitive chunk between them still deflates.
  Bytes input = test::randomBytes(32768, 5);
  const Bytes text(32768, 'Q');
  const Bytes tail = test::randomBytes(1000, 6);
  input.insert(input.end(), text.begin(), text.end());
  input.insert(input.end(), tail.begin(), tail.end());

  MszipEncoder encoder(1000);
  ASSERT_EQ(encoder.initResult(), Z_OK);
  Bytes buffer(MszipEncoder::bound(input.size()));
  std::size_t written = 0;
  ASSERT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), mszip::Error::kNone);
  buffer.resize(written);

  const auto chunks = test::chunkPositions(buffer);
  ASSERT_EQ(chunks.size(), 3u);
  EXPECT_EQ(chunks[0].length, 2u + 5u + 32768u);  // "CK", one stored block header, the bytes
  EXPECT_LT(chunks[1].length, 1000u);
  EXPECT_EQ(chunks[2].length, 2u + 5u + 1000u);
  EXPECT_EQ(buffer[chunks[0].offset + 6], 0x01);  // BFINAL set, BTYPE stored
  EXPECT_EQ(decompress(buffer), input);
}

TEST(MszipEncoding, RefusesAnOutputBufferBelowTheBound) {
  const Bytes input = test::xmlLikeText(40000);
  MszipEncoder encoder;
  Bytes buffer(MszipEncoder::bound(input.size()) - 1);
  std::size_t written = 1;
  EXPECT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written),
            mszip::Error::kOutputSize);
  EXPECT_EQ(written, 0u);
}

TEST(MszipEncoding, EncoderAndDecoderObjectsAreReusable) {
  MszipEncoder encoder;
  MszipDecoder decoder;
  for (const std::size_t size : {70000u, 100u, 40000u}) {
    const Bytes input = test::xmlLikeText(size, static_cast<unsigned>(size));
    Bytes buffer(MszipEncoder::bound(size));
    std::size_t written = 0;
    ASSERT_EQ(encoder.encode(input.data(), size, buffer.data(), buffer.size(), written), mszip::Error::kNone);
    Bytes output(size);
    ASSERT_EQ(decoder.decode(buffer.data(), written, output.data(), size), mszip::Error::kNone);
    EXPECT_EQ(output, input);
  }
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
