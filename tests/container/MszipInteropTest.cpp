// The codec against independent MSZIP implementations: buffers we write are
// wrapped as cabinets and extracted by cabextract (libmspack, which carries
// history across blocks as we do), and cabinets that gcab compressed are
// unwrapped and decoded by us. Both tools come from scripts/install-deps.sh.
#include <gtest/gtest.h>

#include <algorithm>

#include "MszipTestSupport.h"
#include "container/CabinetCodec.h"
#include "container/MszipEncoder.h"
#include "container/MszipFormat.h"
#include "support/Child.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using test::Bytes;

// Cabinet layout without reserved fields: CFHEADER, CFFOLDER, CFFILE and its name, then CFDATA blocks.
constexpr std::size_t kHeader = 36, kFolder = 8, kFile = 16, kData = 8;

void put16(Bytes& out, std::size_t at, std::size_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void put32(Bytes& out, std::size_t at, std::size_t value) {
  mszip::storeLe32(static_cast<std::uint32_t>(value), &out[at]);
}
std::uint16_t get16(const Bytes& in, std::size_t at) { return static_cast<std::uint16_t>(in[at] | in[at + 1] << 8); }

// A cabinet holding `fileName`, whose CFDATA blocks are the chunks of `buffer`
// ("CK" + deflate, without their LEN field).
Bytes cabinetFromMszip(const Bytes& buffer, const std::string& fileName) {
  const std::uint64_t total = mszip::loadLe64(buffer.data() + 8);
  const auto chunks = test::chunkPositions(buffer);
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
  for (const test::ChunkPosition& chunk : chunks) {
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

// The MSZIP buffer whose chunks are the CFDATA blocks of a single-folder cabinet;
// empty (and a test failure) when the cabinet is not of that shape.
Bytes mszipFromCabinet(const Bytes& cab) {
  if (cab.size() < kHeader + kFolder || !std::equal(cab.begin(), cab.begin() + 4, "MSCF") || get16(cab, 26) != 1 ||
      get16(cab, 30) != 0 || (get16(cab, kHeader + 6) & 0x0F) != 1) {
    ADD_FAILURE() << "not a plain single-folder MSZIP cabinet";
    return {};
  }
  std::size_t pos = mszip::loadLe32(&cab[kHeader]);
  const std::uint16_t count = get16(cab, kHeader + 4);
  Bytes buffer(mszip::kHeaderSize);
  std::uint64_t total = 0;
  for (std::uint16_t i = 0; i < count && pos + kData <= cab.size(); ++i) {
    const std::uint16_t length = get16(cab, pos + 4), uncompressed = get16(cab, pos + 6);
    if (pos + kData + length > cab.size()) break;
    EXPECT_TRUE(i + 1 == count || uncompressed == mszip::kChunkSize) << "block " << i << " holds " << uncompressed;
    buffer.resize(buffer.size() + 4);
    mszip::storeLe32(length, &buffer[buffer.size() - 4]);
    buffer.insert(buffer.end(), cab.begin() + static_cast<std::ptrdiff_t>(pos + kData),
                  cab.begin() + static_cast<std::ptrdiff_t>(pos + kData + length));
    total += uncompressed;
    pos += kData + length;
  }
  mszip::writeHeader(total, buffer.data());
  return buffer;
}

// What cabextract makes of the buffer we write for `input`, or empty with a test failure.
Bytes throughCabextract(const Bytes& input, std::size_t budget = MszipEncoder::kDeflateBudget) {
  const test::TempDir dir;
  test::writeFileBytes(dir.path() / "payload.cab", cabinetFromMszip(test::encodeMszip(input, budget), "payload.bin"));
  const test::ChildResult run = test::runProgram({"cabextract", "-q", "-d", "out", "payload.cab"}, dir.path());
  EXPECT_TRUE(run.exitedWith(0)) << "cabextract refused our cabinet: " << run.err;
  return run.exitedWith(0) ? test::readFileBytes((dir.path() / "out/payload.bin").string()) : Bytes{};
}

class MszipInterop : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"cabextract", "gcab"})
      ASSERT_TRUE(test::runProgram({tool, "--version"}).exitedWith(0))
          << tool << " is missing: scripts/install-deps.sh installs it";
  }
};

TEST_F(MszipInterop, CabextractReadsOurMultiChunkAndStoredChunks) {
  const Bytes block = test::randomBytes(30000, 21);
  Bytes repeated;  // later chunks are little more than references into earlier ones
  for (int i = 0; i < 4; ++i) repeated.insert(repeated.end(), block.begin(), block.end());
  Bytes mixed = test::randomBytes(40000, 23);
  const Bytes text = test::xmlLikeText(50000, 23);
  mixed.insert(mixed.end(), text.begin(), text.end());
  EXPECT_EQ(throughCabextract(test::xmlLikeText(300000, 21)), test::xmlLikeText(300000, 21));
  EXPECT_EQ(throughCabextract(test::randomBytes(100000, 21)), test::randomBytes(100000, 21));
  EXPECT_EQ(throughCabextract(repeated), repeated);
  EXPECT_EQ(throughCabextract(mixed, 1000), mixed);
}

TEST_F(MszipInterop, WeDecodeChunksThatGcabCompressed) {
  for (const auto& [name, input] :
       {std::pair{"text", test::xmlLikeText(150000, 25)}, std::pair{"random", test::randomBytes(70000, 25)}}) {
    SCOPED_TRACE(name);
    const test::TempDir dir;
    test::writeFileBytes(dir.path() / "input.bin", input);
    ASSERT_TRUE(test::runProgram({"gcab", "-c", "-z", "made.cab", "input.bin"}, dir.path()).exitedWith(0));
    const Bytes buffer = mszipFromCabinet(test::readFileBytes((dir.path() / "made.cab").string()));
    ASSERT_FALSE(buffer.empty());
    ossl::SecureBytes out;
    ASSERT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0u);
    EXPECT_EQ(Bytes(out.begin(), out.end()), input);
  }
}

}  // namespace
}  // namespace quillon::container
