// The codec: against the buffer Windows wrote and against cabextract (libmspack,
// which carries history across chunks as we do), round trips of the sizes around
// a chunk, history across chunks and stored chunks; then every check of the
// decoder, each against a buffer corrupted in that one respect (the check byte
// recomputed where a header field is changed on purpose), random damage, and the
// decompressed-size cap.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <random>

#include "base/Status.h"
#include "container/CabinetCodec.h"
#include "container/ContainerCrypto.h"
#include "container/MszipDecoder.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"
#include "support/CapturingSink.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using mszip::Error;
using test::Bytes;

// Text shaped like the card's state document: elements, attributes and Base64.
Bytes xmlLikeText(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS version=\"2\">\n";
  while (text.size() < size) {
    text += "  <Record id=\"" + std::to_string(0xA000 + rng() % 0x100) + "\">\n    <Data>";
    for (std::size_t i = rng() % 300; i > 0; --i) text += kBase64[rng() % 64];
    text += "</Data>\n  </Record>\n";
  }
  text.resize(size);
  return Bytes(text.begin(), text.end());
}

Bytes randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

Bytes join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// What an encoder with `budget` per chunk writes for `data`.
Bytes encode(const Bytes& data, std::size_t budget = MszipEncoder::kDeflateBudget) {
  Bytes buffer(MszipEncoder::bound(data.size()));
  std::size_t written = 0;
  EXPECT_EQ(MszipEncoder(budget).encode(data.data(), data.size(), buffer.data(), buffer.size(), written), Error::kNone);
  buffer.resize(written);
  return buffer;
}

Bytes decompress(const Bytes& buffer) {
  ossl::SecureBytes out;
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0u);
  return Bytes(out.begin(), out.end());
}

struct ChunkPosition {
  std::size_t offset;  // of the LEN field
  std::uint32_t length;
};

// A trusting walk over the chunks of a buffer our encoder wrote.
std::vector<ChunkPosition> chunkPositions(const Bytes& buffer) {
  std::vector<ChunkPosition> chunks;
  std::size_t pos = 24;
  for (; pos + 4 <= buffer.size(); pos += 4 + chunks.back().length)
    chunks.push_back({pos, mszip::loadLe32(buffer.data() + pos)});
  EXPECT_EQ(pos, buffer.size()) << "not a buffer of whole chunks";
  return chunks;
}

std::vector<std::uint32_t> chunkLengths(const Bytes& buffer) {
  std::vector<std::uint32_t> lengths;
  for (const ChunkPosition& chunk : chunkPositions(buffer)) lengths.push_back(chunk.length);
  return lengths;
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
  Bytes buffer(24);
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

// Cabinet layout without reserved fields: CFHEADER, CFFOLDER, CFFILE and its name, then CFDATA blocks.
constexpr std::size_t kHeader = 36, kFolder = 8, kFile = 16, kData = 8;

void put16(Bytes& out, std::size_t at, std::size_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void put32(Bytes& out, std::size_t at, std::size_t value) {
  mszip::storeLe32(static_cast<std::uint32_t>(value), &out[at]);
}

// A cabinet holding `fileName`, whose CFDATA blocks are the chunks of `buffer`
// ("CK" + deflate, without their LEN field).
Bytes cabinetFromMszip(const Bytes& buffer, const std::string& fileName) {
  const std::uint64_t total = mszip::loadLe64(buffer.data() + 8);
  const auto chunks = chunkPositions(buffer);
  const std::size_t dataStart = kHeader + kFolder + kFile + fileName.size() + 1;
  Bytes cab(dataStart);
  std::copy_n("MSCF", 4, cab.begin());
  put32(cab, 16, kHeader + kFolder);  // first CFFILE
  put16(cab, 24, 0x0103);             // version 1.3
  put16(cab, 26, 1);                  // folders
  put16(cab, 28, 1);                  // files
  put32(cab, kHeader, dataStart);
  put16(cab, kHeader + 4, chunks.size());
  put16(cab, kHeader + 6, 1);  // MSZIP
  put32(cab, kHeader + kFolder, total);
  put16(cab, kHeader + kFolder + 10, 0x5A21);  // 2025-01-01
  put16(cab, kHeader + kFolder + 14, 0x20);    // archive attribute
  std::copy(fileName.begin(), fileName.end(), cab.begin() + static_cast<std::ptrdiff_t>(kHeader + kFolder + kFile));
  std::uint64_t remaining = total;
  for (const ChunkPosition& chunk : chunks) {
    const std::size_t at = cab.size();
    const std::uint64_t uncompressed = std::min<std::uint64_t>(remaining, mszip::kChunkSize);
    remaining -= uncompressed;
    cab.resize(at + kData);  // no checksum
    put16(cab, at + 4, chunk.length);
    put16(cab, at + 6, uncompressed);
    const auto from = buffer.begin() + static_cast<std::ptrdiff_t>(chunk.offset + 4);
    cab.insert(cab.end(), from, from + chunk.length);
  }
  put32(cab, 8, cab.size());
  return cab;
}

// What cabextract makes of the buffer we write for `input`, or empty with a test failure.
Bytes throughCabextract(const Bytes& input, std::size_t budget = MszipEncoder::kDeflateBudget) {
  const test::TempDir dir;
  test::writeFileBytes(dir.path() / "payload.cab", cabinetFromMszip(encode(input, budget), "payload.bin"));
  const test::ChildResult run = test::runProgram({"cabextract", "-q", "-d", "out", "payload.cab"}, dir.path());
  EXPECT_TRUE(run.exitedWith(0)) << "cabextract refused our cabinet: " << run.err;
  return run.exitedWith(0) ? test::readFileBytes((dir.path() / "out/payload.bin").string()) : Bytes{};
}

TEST(MszipCodec, WindowsBufferDecodesAndCabextractReadsOurs) {
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
  const Bytes ours = encode(plain);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 24, windows.begin()));
  EXPECT_EQ(chunkPositions(ours).size(), 1u);

  ASSERT_TRUE(test::runProgram({"cabextract", "--version"}).exitedWith(0))
      << "cabextract is missing: scripts/install-deps.sh installs it";
  const Bytes block = randomBytes(30000, 21);  // later chunks are little more than references back
  const Bytes repeated = join(join(block, block), join(block, block));
  const Bytes mixed = join(randomBytes(40000, 23), xmlLikeText(50000, 23));
  EXPECT_EQ(throughCabextract(xmlLikeText(300000, 21)), xmlLikeText(300000, 21));
  EXPECT_EQ(throughCabextract(repeated), repeated);
  EXPECT_EQ(throughCabextract(mixed, 1000), mixed);  // stored chunks among deflated ones
}

TEST(MszipCodec, ChunksOfSizesAroundAChunkHistoryAndStoredBlocks) {
  for (const std::size_t size : {0u, 1u, 32767u, 32768u, 32769u, 300000u}) {
    for (const Bytes& input : {xmlLikeText(size, 7), randomBytes(size, 7)}) {
      const Bytes buffer = encode(input);
      std::uint64_t total = 0;
      ASSERT_EQ(mszip::readHeader(buffer.data(), buffer.size(), total), Error::kNone);
      EXPECT_EQ(total, size);
      EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), std::min<std::uint64_t>(size, 32768));
      const auto lengths = chunkLengths(buffer);
      EXPECT_EQ(lengths.size(), (size + 32767) / 32768) << size;
      for (const std::uint32_t length : lengths) EXPECT_LE(length, 32780u);
      EXPECT_EQ(decompress(buffer), input) << size;
    }
  }
  // A 30000-byte random block three times over: only history makes chunks 2 and 3 small.
  const Bytes block = randomBytes(30000, 3);
  const auto history = chunkLengths(encode(join(join(block, block), block)));
  ASSERT_EQ(history.size(), 3u);
  EXPECT_LT(std::max(history[1], history[2]), 1000u);
  // Random chunks cannot deflate under a budget of 1000 bytes and are stored; a
  // repetitive one between them still deflates. One encoder and one decoder,
  // wiped after each use as a card does, work as new ones.
  const Bytes input = join(join(randomBytes(32768, 5), Bytes(32768, 'Q')), randomBytes(1000, 6));
  MszipEncoder encoder(1000);
  MszipDecoder decoder;
  for (int round = 0; round < 2; ++round) {
    Bytes buffer(MszipEncoder::bound(input.size()));
    std::size_t written = 0;
    ASSERT_EQ(encoder.encode(input.data(), input.size(), buffer.data(), buffer.size(), written), Error::kNone);
    encoder.wipe();
    buffer.resize(written);
    EXPECT_EQ(buffer, encode(input, 1000));
    const auto lengths = chunkLengths(buffer);
    ASSERT_EQ(lengths.size(), 3u);
    EXPECT_EQ(lengths[0], 2u + 5u + 32768u);  // "CK", one stored block header, the bytes
    EXPECT_LT(lengths[1], 1000u);
    EXPECT_EQ(lengths[2], 2u + 5u + 1000u);
    Bytes output(input.size());
    ASSERT_EQ(decoder.decode(buffer.data(), written, output.data(), output.size()), Error::kNone);
    decoder.wipe();
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
    input_ = xmlLikeText(kSize, 11);
    buffer_ = encode(input_);
    chunks_ = chunkPositions(buffer_);
    ASSERT_EQ(chunks_.size(), 3u);
    ASSERT_EQ(decode(buffer_), Error::kNone);
  }
  // Decodes with the header's own total (the decoder checks it against the chunks).
  static Error decode(const Bytes& buffer) {
    std::uint64_t total = 0;
    if (const Error e = mszip::readHeader(buffer.data(), buffer.size(), total); e != Error::kNone) return e;
    if (total > 2097152) return Error::kOutputSize;
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
  std::vector<ChunkPosition> chunks_;
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
    const Bytes input = round % 2 == 0 ? xmlLikeText(size, static_cast<unsigned>(round))
                                       : randomBytes(size, static_cast<unsigned>(round));
    Bytes b = encode(input);
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
  const Bytes full = xmlLikeText(2097152, 9);
  EXPECT_EQ(decompress(encode(full)), full);
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
