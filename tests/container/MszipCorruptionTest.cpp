// Every check of the decoder, each against a buffer corrupted in that one respect
// (the check byte is recomputed where a header field is changed on purpose), and
// the HRESULTs and trace lines that CabinetDecompress gives for them.
#include <gtest/gtest.h>

#include <random>

#include "MszipSamples.h"
#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"
#include "support/CapturingSink.h"

namespace quillon::container {
namespace {

using mszip::Error;
using test::Bytes;

constexpr std::uint32_t kCorrupt = 0x8007025D;  // ERROR_BAD_COMPRESSION_BUFFER as an HRESULT

class MszipCorruption : public ::testing::Test {
 protected:
  // 80000 bytes: two full chunks and a last one of 14464 bytes.
  void SetUp() override {
    input_ = test::xmlLikeText(kSize, 11);
    buffer_.resize(MszipEncoder::bound(kSize));
    std::size_t written = 0;
    MszipEncoder encoder;
    ASSERT_EQ(encoder.encode(input_.data(), kSize, buffer_.data(), buffer_.size(), written), Error::kNone);
    buffer_.resize(written);
    chunks_ = test::chunkPositions(buffer_);
    ASSERT_EQ(chunks_.size(), 3u);
  }

  // Decodes with the header's own total (the decoder checks it against the chunks).
  static Error decode(const Bytes& buffer) {
    std::uint64_t total = 0;
    if (const Error e = mszip::readHeader(buffer.data(), buffer.size(), total); e != Error::kNone) return e;
    if (total > kDecompressedCap) return Error::kOutputSize;
    Bytes out(static_cast<std::size_t>(total));
    return MszipDecoder().decode(buffer.data(), buffer.size(), out.data(), out.size());
  }

  // The deflate data of chunk i, as the encoder wrote it.
  Bytes deflateData(std::size_t i) const {
    const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(chunks_[i].offset + 6);
    return Bytes(begin, begin + chunks_[i].length - 2);
  }

  Bytes slice(std::size_t from, std::size_t to) const {
    return Bytes(input_.begin() + static_cast<std::ptrdiff_t>(from), input_.begin() + static_cast<std::ptrdiff_t>(to));
  }

  static constexpr std::size_t kSize = 80000;
  Bytes input_;
  Bytes buffer_;
  std::vector<test::ChunkPosition> chunks_;
};

TEST_F(MszipCorruption, IntactBufferDecodes) { EXPECT_EQ(decode(buffer_), Error::kNone); }

TEST_F(MszipCorruption, HeaderFields) {
  Bytes b = buffer_;
  b[1] ^= 0x01;
  test::refreshCheckByte(b);
  EXPECT_EQ(decode(b), Error::kBadMagic);

  b = buffer_;
  b[4] = 0x20;
  test::refreshCheckByte(b);
  EXPECT_EQ(decode(b), Error::kBadHeaderSize);
  b = buffer_;
  b[5] = 0x01;  // 0x0118
  test::refreshCheckByte(b);
  EXPECT_EQ(decode(b), Error::kBadHeaderSize);

  b = buffer_;
  b[7] = 3;  // another algorithm of the same API
  test::refreshCheckByte(b);
  EXPECT_EQ(decode(b), Error::kBadAlgorithm);

  for (const std::size_t at : {6u, 8u, 16u, 23u}) {  // the check byte itself, then covered bytes
    b = buffer_;
    b[at] ^= 0x40;
    EXPECT_EQ(decode(b), Error::kBadCheckByte) << "byte " << at;
  }

  b = buffer_;
  mszip::storeLe64(16384, b.data() + 16);
  test::refreshCheckByte(b);
  EXPECT_EQ(decode(b), Error::kBadChunkSize);

  // A small total must come with an equally small chunk size.
  Bytes small = test::assembleMszip(100, {test::rawDeflate(slice(0, 100))});
  mszip::storeLe64(32768, small.data() + 16);
  test::refreshCheckByte(small);
  EXPECT_EQ(decode(small), Error::kBadChunkSize);

  EXPECT_EQ(decode(Bytes(buffer_.begin(), buffer_.begin() + 23)), Error::kTruncatedHeader);
  EXPECT_EQ(decode({}), Error::kTruncatedHeader);
}

TEST_F(MszipCorruption, ChunkLengthField) {
  for (const std::uint32_t length : {0u, 1u}) {
    Bytes b = buffer_;
    mszip::storeLe32(length, b.data() + chunks_[1].offset);
    EXPECT_EQ(decode(b), Error::kLengthTooSmall) << length;
  }
  for (const std::uint32_t extra : {1u, 0x10000u}) {
    Bytes b = buffer_;
    mszip::storeLe32(chunks_[2].length + extra, b.data() + chunks_[2].offset);
    EXPECT_EQ(decode(b), Error::kLengthBeyondBuffer) << extra;
  }
  Bytes b = buffer_;
  mszip::storeLe32(0xFFFFFFFF, b.data() + chunks_[0].offset);
  EXPECT_EQ(decode(b), Error::kLengthBeyondBuffer);

  // The buffer ends inside the LEN of a chunk that is still due.
  b.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(chunks_[2].offset + 3));
  EXPECT_EQ(decode(b), Error::kTruncatedLength);
}

TEST_F(MszipCorruption, ChunkSignature) {
  for (const std::size_t at : {4u, 5u}) {
    Bytes b = buffer_;
    b[chunks_[1].offset + at] = 'X';
    EXPECT_EQ(decode(b), Error::kMissingSignature);
  }
}

TEST_F(MszipCorruption, ChunkInflatingToTheWrongSize) {
  // A first chunk that holds one byte too few or too many.
  const Bytes shortChunk = test::assembleMszip(kSize, {test::rawDeflate(slice(0, 32767))});
  EXPECT_EQ(decode(shortChunk), Error::kChunkTooShort);
  const Bytes longChunk = test::assembleMszip(40000, {test::rawDeflate(slice(0, 32769))});
  EXPECT_EQ(decode(longChunk), Error::kChunkTooLong);

  // The last chunk checked against a total one byte off either way.
  for (const std::uint64_t total : {kSize - 1, kSize + 1}) {
    Bytes b = buffer_;
    mszip::storeLe64(total, b.data() + 8);
    test::refreshCheckByte(b);
    EXPECT_EQ(decode(b), total < kSize ? Error::kChunkTooLong : Error::kChunkTooShort) << total;
  }
}

TEST_F(MszipCorruption, DeflateStreamMustEndExactlyAtTheChunkEnd) {
  // Cut short: the final block never arrives.
  Bytes cut = deflateData(0);
  cut.resize(cut.size() - 3);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {cut, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);

  // All 32768 bytes come out, but the stream has no final block (sync flush).
  const Bytes unfinished = test::rawDeflate(slice(0, 32768), {}, false);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {unfinished, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);

  // Bytes after the final block, inside the chunk.
  Bytes padded = deflateData(1);
  padded.push_back(0x00);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {deflateData(0), padded, deflateData(2)})), Error::kDataAfterStream);
}

TEST_F(MszipCorruption, DeflateDataErrors) {
  // Block type 3 is reserved.
  EXPECT_EQ(decode(test::assembleMszip(kSize, {Bytes{0x07, 0x00}})), Error::kCorruptDeflate);
  // A chunk that refers back into history is refused as the first chunk, which has none.
  const Bytes second = deflateData(1);
  EXPECT_EQ(decode(test::assembleMszip(kSize - 32768, {second, deflateData(2)})), Error::kCorruptDeflate);
}

TEST_F(MszipCorruption, BufferMustEndWithTheTotal) {
  Bytes b = buffer_;
  b.push_back(0x00);
  EXPECT_EQ(decode(b), Error::kTrailingBytes);

  b = buffer_;  // a whole extra chunk after the total is reached
  const Bytes extra = test::assembleMszip(0, {test::rawDeflate(slice(0, 10))});
  b.insert(b.end(), extra.begin() + mszip::kHeaderSize, extra.end());
  EXPECT_EQ(decode(b), Error::kTrailingBytes);

  Bytes empty = test::assembleMszip(0, {});
  empty.push_back(0x00);
  EXPECT_EQ(decode(empty), Error::kTrailingBytes);

  // The last chunk is missing: the chunks end before the header's total.
  b.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(chunks_[2].offset));
  EXPECT_EQ(decode(b), Error::kTotalMismatch);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {})), Error::kTotalMismatch);
}

TEST_F(MszipCorruption, RandomDamageNeverEscapesTheChecks) {
  // Under the sanitizers this is a bounds check of every path. MSZIP carries no
  // checksum, so a changed literal can decode (GCM guards the container); a
  // truncated buffer never can.
  std::mt19937 rng(1234);
  for (int round = 0; round < 400; ++round) {
    Bytes b = buffer_;
    switch (round % 4) {
      case 0: b[rng() % b.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8)); break;
      case 1: b.resize(rng() % b.size()); break;
      case 2: b[mszip::kHeaderSize + rng() % (b.size() - mszip::kHeaderSize)] = static_cast<std::uint8_t>(rng()); break;
      default: b.insert(b.begin() + static_cast<std::ptrdiff_t>(rng() % b.size()), static_cast<std::uint8_t>(rng()));
    }
    const Error e = decode(b);
    if (round % 4 == 1) {
      EXPECT_NE(e, Error::kNone) << "truncated to " << b.size();
    }
  }
}

TEST(CabinetDecompress, CorruptBufferGivesBadCompressionBufferAndTraces) {
  Bytes buffer = test::assembleMszip(100, {Bytes{0x07, 0x00}});
  test::TraceCapture capture;
  ossl::SecureBytes out{1, 2, 3};
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), kCorrupt);
  EXPECT_EQ(kCorrupt, status::hresultFromWin32(status::ERROR_BAD_COMPRESSION_BUFFER));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(capture.sink().count("CabinetDecompress: Decompress failed hr=0x8007025D"), 1u);
  EXPECT_EQ(capture.sink().count("CabinetDecompress: corrupt deflate data"), 1u);

  buffer[0] = 0;
  capture.sink().clear();
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), kCorrupt);
  EXPECT_EQ(capture.sink().count("CabinetDecompress: size query failed hr=0x8007025D"), 1u);
}

TEST(CabinetDecompress, CapAppliesToTheHeaderTotalBeforeAnyChunkIsRead) {
  for (const std::uint64_t total : {std::uint64_t{kDecompressedCap + 1}, std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
    // The header alone: an honest decoder would have to allocate `total` to get further.
    const Bytes buffer = test::assembleMszip(total, {});
    test::TraceCapture capture;
    ossl::SecureBytes out;
    EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0x800700DFu);
    EXPECT_TRUE(out.empty());
    const auto lines = capture.sink().lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, trace::kError);
    EXPECT_NE(lines[0].text.find("CabinetDecompress("), std::string::npos);
    EXPECT_NE(
        lines[0].text.find(" : CabinetDecompress: decompressed size " + std::to_string(total) + " exceeds cap 2097152"),
        std::string::npos)
        << lines[0].text;
  }
}

TEST(CabinetDecompress, NullInputIsAnInvalidArgument) {
  ossl::SecureBytes out;
  EXPECT_EQ(CabinetDecompress(nullptr, 100, out), status::E_INVALIDARG);
  EXPECT_EQ(CabinetCompress(nullptr, 100, out), status::E_INVALIDARG);
}

TEST(CabinetCompress, TracesSizesAtVerboseLevel) {
  const Bytes input = test::xmlLikeText(5000);
  test::TraceCapture capture;
  ossl::SecureBytes out;
  ASSERT_EQ(CabinetCompress(input.data(), input.size(), out), 0u);
  EXPECT_EQ(capture.sink().count("CabinetCompress: 5000 -> " + std::to_string(out.size()) + " bytes"), 1u);
  ossl::SecureBytes back;
  ASSERT_EQ(CabinetDecompress(out.data(), out.size(), back), 0u);
  EXPECT_EQ(capture.sink().count("CabinetDecompress: -> 5000 bytes"), 1u);
}

}  // namespace
}  // namespace quillon::container
