// The codec against the buffer Windows wrote, round trips of the sizes around a
// chunk, history across chunks and stored chunks; then every check of the decoder,
// each against a buffer corrupted in that one respect (the check byte recomputed
// where a header field is changed on purpose), and the decompressed-size cap.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "MszipTestSupport.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"
#include "support/CapturingSink.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using mszip::Error;
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

// One complete raw deflate stream (level 6); with finish false it ends in a sync
// flush instead of a final block.
Bytes rawDeflate(const Bytes& data, bool finish = true) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes out(deflateBound(&z, data.size()) + 16);
  z.next_in = const_cast<Bytef*>(data.data());
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  EXPECT_EQ(deflate(&z, finish ? Z_FINISH : Z_SYNC_FLUSH), finish ? Z_STREAM_END : Z_OK);
  out.resize(out.size() - z.avail_out);
  deflateEnd(&z);
  return out;
}

// A buffer with a valid header for `total` and one chunk ("CK" + data) per entry of `deflateData`.
Bytes assembleMszip(std::uint64_t total, const std::vector<Bytes>& deflateData) {
  Bytes buffer(mszip::kHeaderSize);
  mszip::writeHeader(total, buffer.data());
  for (const Bytes& data : deflateData) {
    const std::size_t at = buffer.size();
    buffer.resize(at + 6);
    mszip::storeLe32(static_cast<std::uint32_t>(data.size() + 2), &buffer[at]);
    buffer[at + 4] = 'C';
    buffer[at + 5] = 'K';
    buffer.insert(buffer.end(), data.begin(), data.end());
  }
  return buffer;
}

// Recomputes the check byte after a header field was changed on purpose.
void refreshCheckByte(Bytes& buffer) { buffer[6] = mszip::checkByte(buffer.data()); }

Bytes head(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
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
    ASSERT_EQ(mszip::readHeader(buffer.data(), buffer.size(), total), Error::kNone);
    EXPECT_EQ(total, size);
    EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), std::min<std::uint64_t>(size, 32768));
    const auto chunks = test::chunkPositions(buffer);
    EXPECT_EQ(chunks.size(), (size + 32767) / 32768);
    for (const auto& chunk : chunks) EXPECT_LE(chunk.length, 32780u);
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

// A card keeps one encoder and one decoder and wipes them after each use: a
// wiped codec must work as a new one (the same bytes out), both for input that
// deflates and for input that falls back to stored chunks.
TEST(MszipEncoding, WipedCodecsWorkAsNewOnes) {
  Bytes mixed = test::xmlLikeText(40000, 3);
  const Bytes noise = test::randomBytes(33000, 4);
  mixed.insert(mixed.end(), noise.begin(), noise.end());
  const Bytes inputs[] = {test::xmlLikeText(70000, 2), mixed, test::xmlLikeText(5000, 7)};
  MszipEncoder kept(20000);
  MszipDecoder keptDecoder;
  for (const Bytes& input : inputs) {
    MszipEncoder fresh(20000);
    Bytes expected(MszipEncoder::bound(input.size())), buffer(expected.size());
    std::size_t expectedSize = 0, written = 0;
    ASSERT_EQ(fresh.encode(input.data(), input.size(), expected.data(), expected.size(), expectedSize), Error::kNone);
    ASSERT_EQ(kept.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), Error::kNone);
    kept.wipe();
    ASSERT_EQ(written, expectedSize);
    buffer.resize(written);
    expected.resize(expectedSize);
    EXPECT_EQ(buffer, expected);
    Bytes output(input.size());
    ASSERT_EQ(keptDecoder.decode(buffer.data(), buffer.size(), output.data(), output.size()), Error::kNone);
    keptDecoder.wipe();
    EXPECT_EQ(output, input);
  }
}

TEST(MszipEncoding, ChunkOverItsBudgetIsStoredAndObjectsAreReusable) {
  // Random chunks cannot deflate under 1000 bytes and fall back to stored blocks;
  // the repetitive chunk between them still deflates.
  Bytes input = test::randomBytes(32768, 5);
  input.resize(2 * 32768, 'Q');
  const Bytes tail = test::randomBytes(1000, 6);
  input.insert(input.end(), tail.begin(), tail.end());
  MszipEncoder encoder(1000);
  MszipDecoder decoder;
  for (int round = 0; round < 2; ++round) {
    Bytes buffer(MszipEncoder::bound(input.size()));
    std::size_t written = 0;
    ASSERT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), Error::kNone);
    buffer.resize(written);
    const auto chunks = test::chunkPositions(buffer);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].length, 2u + 5u + 32768u);  // "CK", one stored block header, the bytes
    EXPECT_LT(chunks[1].length, 1000u);
    EXPECT_EQ(chunks[2].length, 2u + 5u + 1000u);
    Bytes output(input.size());
    ASSERT_EQ(decoder.decode(buffer.data(), written, output.data(), output.size()), Error::kNone);
    EXPECT_EQ(output, input);
  }
  Bytes small(MszipEncoder::bound(input.size()) - 1);
  std::size_t written = 1;
  EXPECT_EQ(encoder.encode(input.data(), input.size(), small.data(), small.size(), written), Error::kOutputSize);
  EXPECT_EQ(written, 0u);
}

class MszipCorruption : public ::testing::Test {
 protected:
  // 80000 bytes: two full chunks and a last one of 14464 bytes.
  void SetUp() override {
    input_ = test::xmlLikeText(kSize, 11);
    buffer_ = test::encodeMszip(input_);
    chunks_ = test::chunkPositions(buffer_);
    ASSERT_EQ(chunks_.size(), 3u);
    ASSERT_EQ(decode(buffer_), Error::kNone);
  }
  // Decodes with the header's own total (the decoder checks it against the chunks).
  static Error decode(const Bytes& buffer) {
    std::uint64_t total = 0;
    if (const Error e = mszip::readHeader(buffer.data(), buffer.size(), total); e != Error::kNone) return e;
    if (total > kDecompressedCap) return Error::kOutputSize;
    Bytes out(static_cast<std::size_t>(total));
    return MszipDecoder().decode(buffer.data(), buffer.size(), out.data(), out.size());
  }
  // The buffer with one header byte changed and its check byte recomputed.
  Bytes withHeaderByte(std::size_t at, std::uint8_t value) const {
    Bytes b = buffer_;
    b[at] = value;
    refreshCheckByte(b);
    return b;
  }
  Bytes withLength(std::size_t chunk, std::uint32_t length) const {
    Bytes b = buffer_;
    mszip::storeLe32(length, b.data() + chunks_[chunk].offset);
    return b;
  }
  // The deflate data of chunk i, as the encoder wrote it.
  Bytes deflateData(std::size_t i) const {
    const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(chunks_[i].offset + 6);
    return Bytes(begin, begin + chunks_[i].length - 2);
  }
  Bytes deflateHead(std::size_t n, bool finish = true) const { return rawDeflate(head(input_, n), finish); }

  static constexpr std::size_t kSize = 80000;
  Bytes input_, buffer_;
  std::vector<test::ChunkPosition> chunks_;
};

TEST_F(MszipCorruption, EachCheckRefusesTheBufferCorruptedInItsRespect) {
  // Header fields.
  EXPECT_EQ(decode(withHeaderByte(1, buffer_[1] ^ 0x01)), Error::kBadMagic);
  EXPECT_EQ(decode(withHeaderByte(4, 0x20)), Error::kBadHeaderSize);
  EXPECT_EQ(decode(withHeaderByte(5, 0x01)), Error::kBadHeaderSize);  // 0x0118
  EXPECT_EQ(decode(withHeaderByte(7, 3)), Error::kBadAlgorithm);      // another algorithm of the same API
  for (const std::size_t at : {6u, 8u, 16u, 23u}) {                   // the check byte itself, then covered bytes
    Bytes b = buffer_;
    b[at] ^= 0x40;
    EXPECT_EQ(decode(b), Error::kBadCheckByte) << "byte " << at;
  }
  EXPECT_EQ(decode(withHeaderByte(17, 0x40)), Error::kBadChunkSize);  // 16384
  // A small total must come with an equally small chunk size.
  Bytes small = assembleMszip(100, {deflateHead(100)});
  mszip::storeLe64(32768, small.data() + 16);
  refreshCheckByte(small);
  EXPECT_EQ(decode(small), Error::kBadChunkSize);
  EXPECT_EQ(decode(head(buffer_, 23)), Error::kTruncatedHeader);
  EXPECT_EQ(decode({}), Error::kTruncatedHeader);
  // Chunk framing.
  EXPECT_EQ(decode(withLength(1, 0)), Error::kLengthTooSmall);
  EXPECT_EQ(decode(withLength(1, 1)), Error::kLengthTooSmall);
  EXPECT_EQ(decode(withLength(2, chunks_[2].length + 1)), Error::kLengthBeyondBuffer);
  EXPECT_EQ(decode(withLength(0, 0xFFFFFFFF)), Error::kLengthBeyondBuffer);
  EXPECT_EQ(decode(head(buffer_, chunks_[2].offset + 3)), Error::kTruncatedLength);  // ends inside a LEN still due
  for (const std::size_t at : {4u, 5u}) {
    Bytes b = buffer_;
    b[chunks_[1].offset + at] = 'X';
    EXPECT_EQ(decode(b), Error::kMissingSignature);
  }
  // Chunks inflating to the wrong size; the last one checked against a total one byte off either way.
  EXPECT_EQ(decode(assembleMszip(kSize, {deflateHead(32767)})), Error::kChunkTooShort);
  EXPECT_EQ(decode(assembleMszip(40000, {deflateHead(32769)})), Error::kChunkTooLong);
  for (const std::uint64_t total : {kSize - 1, kSize + 1}) {
    Bytes b = buffer_;
    mszip::storeLe64(total, b.data() + 8);
    refreshCheckByte(b);
    EXPECT_EQ(decode(b), total < kSize ? Error::kChunkTooLong : Error::kChunkTooShort) << total;
  }
  // The deflate stream must end exactly at the chunk end.
  Bytes cut = deflateData(0);  // the final block never arrives
  cut.resize(cut.size() - 3);
  EXPECT_EQ(decode(assembleMszip(kSize, {cut, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);
  // All 32768 bytes come out, but the stream has no final block (sync flush).
  const Bytes unfinished = deflateHead(32768, false);
  EXPECT_EQ(decode(assembleMszip(kSize, {unfinished, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);
  Bytes padded = deflateData(1);  // bytes after the final block, inside the chunk
  padded.push_back(0x00);
  EXPECT_EQ(decode(assembleMszip(kSize, {deflateData(0), padded, deflateData(2)})), Error::kDataAfterStream);
  // Block type 3 is reserved; a first chunk cannot refer back into history it does not have.
  EXPECT_EQ(decode(assembleMszip(kSize, {Bytes{0x07, 0x00}})), Error::kCorruptDeflate);
  EXPECT_EQ(decode(assembleMszip(kSize - 32768, {deflateData(1), deflateData(2)})), Error::kCorruptDeflate);
  // The buffer must end with the chunk that completes the total.
  Bytes b = buffer_;
  b.push_back(0x00);
  EXPECT_EQ(decode(b), Error::kTrailingBytes);
  const Bytes extra = assembleMszip(0, {deflateHead(10)});  // a whole chunk past the total
  b = buffer_;
  b.insert(b.end(), extra.begin() + mszip::kHeaderSize, extra.end());
  EXPECT_EQ(decode(b), Error::kTrailingBytes);
  EXPECT_EQ(decode(head(buffer_, chunks_[2].offset)), Error::kTotalMismatch);  // the last chunk is missing
  EXPECT_EQ(decode(assembleMszip(kSize, {})), Error::kTotalMismatch);
}

TEST(MszipDamage, RandomInputsRoundTripAndTheirDamageNeverEscapesTheChecks) {
  // Under the sanitizers this is a bounds check of every path. MSZIP carries no
  // checksum, so a changed literal can decode (GCM guards the container), but
  // only to the stated size; a truncated buffer never decodes.
  std::mt19937 rng(1234);
  for (int round = 0; round < 400; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const std::size_t size = 1 + rng() % 70000;
    const Bytes input = round % 2 == 0 ? test::xmlLikeText(size, round) : test::randomBytes(size, round);
    Bytes b = test::encodeMszip(input);
    Bytes out(size);
    ASSERT_EQ(MszipDecoder().decode(b.data(), b.size(), out.data(), out.size()), Error::kNone);
    ASSERT_EQ(out, input);
    switch (round % 4) {
      case 0: b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
      case 1: b.resize(rng() % b.size()); break;
      case 2: b[24 + rng() % (b.size() - 24)] ^= static_cast<std::uint8_t>(1 + rng() % 255); break;
      default: b.insert(b.begin() + static_cast<std::ptrdiff_t>(rng() % b.size()), static_cast<std::uint8_t>(rng()));
    }
    ossl::SecureBytes decoded;
    const std::uint32_t hr = CabinetDecompress(b.data(), b.size(), decoded);
    if (round % 4 == 1) {
      EXPECT_NE(hr, 0u) << "truncated to " << b.size();
    }
    EXPECT_EQ(decoded.size(), hr == 0 ? size : 0u);
  }
}

TEST(CabinetDecompress, FullCapIsAcceptedAndAnythingElseRefusedWithItsStatus) {
  const Bytes full = test::xmlLikeText(2097152, 9);
  EXPECT_EQ(decompress(compress(full)), full);
  ossl::SecureBytes out{1, 2, 3};
  const Bytes corrupt = assembleMszip(100, {Bytes{0x07, 0x00}});
  EXPECT_EQ(CabinetDecompress(corrupt.data(), corrupt.size(), out),
            status::hresultFromWin32(status::ERROR_BAD_COMPRESSION_BUFFER));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(CabinetDecompress(nullptr, 100, out), status::E_INVALIDARG);
  EXPECT_EQ(CabinetCompress(nullptr, 100, out), status::E_INVALIDARG);
  // The cap applies to the header's total before any chunk is read: an honest
  // decoder would have to allocate `total` to get further.
  for (const std::uint64_t total : {std::uint64_t{2097153}, std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
    const Bytes buffer = assembleMszip(total, {});
    test::TraceCapture capture;
    out.assign(3, 0xEE);
    EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0x800700DFu);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(
        capture.sink().count("CabinetDecompress: decompressed size " + std::to_string(total) + " exceeds cap 2097152"),
        1u);
  }
}

}  // namespace
}  // namespace quillon::container
