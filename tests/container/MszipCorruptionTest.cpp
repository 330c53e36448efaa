// Every check of the decoder, each against a buffer corrupted in that one respect
// (the check byte is recomputed where a header field is changed on purpose), and
// what CabinetDecompress gives for them.
#include <gtest/gtest.h>

#include <random>

#include "MszipTestSupport.h"
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

class MszipCorruption : public ::testing::Test {
 protected:
  // 80000 bytes: two full chunks and a last one of 14464 bytes.
  void SetUp() override {
    input_ = test::xmlLikeText(kSize, 11);
    buffer_.resize(MszipEncoder::bound(kSize));
    std::size_t written = 0;
    ASSERT_EQ(MszipEncoder().encode(input_.data(), kSize, buffer_.data(), buffer_.size(), written), Error::kNone);
    buffer_.resize(written);
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
    test::refreshCheckByte(b);
    return b;
  }
  Bytes withLength(std::size_t chunk, std::uint32_t length) const {
    Bytes b = buffer_;
    mszip::storeLe32(length, b.data() + chunks_[chunk].offset);
    return b;
  }
  Bytes prefix(std::size_t length) const {
    return Bytes(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(length));
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
  Bytes input_, buffer_;
  std::vector<test::ChunkPosition> chunks_;
};

TEST_F(MszipCorruption, HeaderFields) {
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
  Bytes small = test::assembleMszip(100, {test::rawDeflate(slice(0, 100))});
  mszip::storeLe64(32768, small.data() + 16);
  test::refreshCheckByte(small);
  EXPECT_EQ(decode(small), Error::kBadChunkSize);
  EXPECT_EQ(decode(prefix(23)), Error::kTruncatedHeader);
  EXPECT_EQ(decode({}), Error::kTruncatedHeader);
}

TEST_F(MszipCorruption, ChunkFraming) {
  EXPECT_EQ(decode(withLength(1, 0)), Error::kLengthTooSmall);
  EXPECT_EQ(decode(withLength(1, 1)), Error::kLengthTooSmall);
  EXPECT_EQ(decode(withLength(2, chunks_[2].length + 1)), Error::kLengthBeyondBuffer);
  EXPECT_EQ(decode(withLength(0, 0xFFFFFFFF)), Error::kLengthBeyondBuffer);
  EXPECT_EQ(decode(prefix(chunks_[2].offset + 3)), Error::kTruncatedLength);  // ends inside a LEN still due
  for (const std::size_t at : {4u, 5u}) {
    Bytes b = buffer_;
    b[chunks_[1].offset + at] = 'X';
    EXPECT_EQ(decode(b), Error::kMissingSignature);
  }
}

TEST_F(MszipCorruption, ChunkInflatingToTheWrongSize) {
  EXPECT_EQ(decode(test::assembleMszip(kSize, {test::rawDeflate(slice(0, 32767))})), Error::kChunkTooShort);
  EXPECT_EQ(decode(test::assembleMszip(40000, {test::rawDeflate(slice(0, 32769))})), Error::kChunkTooLong);
  // The last chunk checked against a total one byte off either way.
  for (const std::uint64_t total : {kSize - 1, kSize + 1}) {
    Bytes b = buffer_;
    mszip::storeLe64(total, b.data() + 8);
    test::refreshCheckByte(b);
    EXPECT_EQ(decode(b), total < kSize ? Error::kChunkTooLong : Error::kChunkTooShort) << total;
  }
}

TEST_F(MszipCorruption, DeflateStreamMustEndExactlyAtTheChunkEnd) {
  Bytes cut = deflateData(0);  // the final block never arrives
  cut.resize(cut.size() - 3);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {cut, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);
  // All 32768 bytes come out, but the stream has no final block (sync flush).
  const Bytes unfinished = test::rawDeflate(slice(0, 32768), false);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {unfinished, deflateData(1), deflateData(2)})), Error::kStreamNotEnded);
  Bytes padded = deflateData(1);  // bytes after the final block, inside the chunk
  padded.push_back(0x00);
  EXPECT_EQ(decode(test::assembleMszip(kSize, {deflateData(0), padded, deflateData(2)})), Error::kDataAfterStream);
  // Block type 3 is reserved; a first chunk cannot refer back into history it does not have.
  EXPECT_EQ(decode(test::assembleMszip(kSize, {Bytes{0x07, 0x00}})), Error::kCorruptDeflate);
  EXPECT_EQ(decode(test::assembleMszip(kSize - 32768, {deflateData(1), deflateData(2)})), Error::kCorruptDeflate);
}

TEST_F(MszipCorruption, BufferMustEndWithTheTotal) {
  Bytes b = buffer_;
  b.push_back(0x00);
  EXPECT_EQ(decode(b), Error::kTrailingBytes);
  const Bytes extra = test::assembleMszip(0, {test::rawDeflate(slice(0, 10))});  // a whole chunk past the total
  b = buffer_;
  b.insert(b.end(), extra.begin() + mszip::kHeaderSize, extra.end());
  EXPECT_EQ(decode(b), Error::kTrailingBytes);
  EXPECT_EQ(decode(prefix(chunks_[2].offset)), Error::kTotalMismatch);  // the last chunk is missing
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

TEST(CabinetDecompress, RefusalsAndTheirStatus) {
  ossl::SecureBytes out{1, 2, 3};
  const Bytes corrupt = test::assembleMszip(100, {Bytes{0x07, 0x00}});
  EXPECT_EQ(CabinetDecompress(corrupt.data(), corrupt.size(), out),
            status::hresultFromWin32(status::ERROR_BAD_COMPRESSION_BUFFER));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(CabinetDecompress(nullptr, 100, out), status::E_INVALIDARG);
  EXPECT_EQ(CabinetCompress(nullptr, 100, out), status::E_INVALIDARG);
  // The cap applies to the header's total before any chunk is read: an honest
  // decoder would have to allocate `total` to get further.
  for (const std::uint64_t total : {std::uint64_t{kDecompressedCap + 1}, std::uint64_t{1} << 62, ~std::uint64_t{0}}) {
    const Bytes buffer = test::assembleMszip(total, {});
    test::TraceCapture capture;
    EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0x800700DFu);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(
        capture.sink().count("CabinetDecompress: decompressed size " + std::to_string(total) + " exceeds cap 2097152"),
        1u);
  }
}

}  // namespace
}  // namespace quillon::container
