#include "MszipTestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

#include "container/MszipFormat.h"

namespace quillon::test {

namespace mszip = container::mszip;

Bytes xmlLikeText(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char* const kNames[] = {"ElementaryFile", "DedicatedFile", "Record", "PinManager", "RSAKey"};
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS version=\"2\">\n";
  while (text.size() < size) {
    const std::string name = kNames[rng() % 5];
    text += "  <" + name + " id=\"" + std::to_string(0xA000 + rng() % 0x100) + "\">\n    <Data>";
    for (std::size_t i = rng() % 300; i > 0; --i) text += kBase64[rng() % 64];
    text += "</Data>\n  </" + name + ">\n";
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

Bytes rawDeflate(const Bytes& data, bool finish) {
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

namespace {

void put16(Bytes& out, std::size_t at, std::size_t value) {
  out[at] = static_cast<std::uint8_t>(value);
  out[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void put32(Bytes& out, std::size_t at, std::size_t value) {
  mszip::storeLe32(static_cast<std::uint32_t>(value), &out[at]);
}
std::uint16_t get16(const Bytes& in, std::size_t at) { return static_cast<std::uint16_t>(in[at] | in[at + 1] << 8); }

void appendChunk(Bytes& buffer, const std::uint8_t* data, std::size_t length) {
  std::uint8_t len[4];
  mszip::storeLe32(static_cast<std::uint32_t>(length), len);
  buffer.insert(buffer.end(), len, len + 4);
  buffer.insert(buffer.end(), data, data + length);
}

// Cabinet layout without reserved fields: CFHEADER, CFFOLDER, CFFILE and its name, then CFDATA blocks.
constexpr std::size_t kHeader = 36, kFolder = 8, kFile = 16, kData = 8;

}  // namespace

Bytes assembleMszip(std::uint64_t total, const std::vector<Bytes>& deflateData) {
  Bytes buffer(mszip::kHeaderSize);
  mszip::writeHeader(total, buffer.data());
  for (const Bytes& data : deflateData) {
    Bytes chunk{'C', 'K'};
    chunk.insert(chunk.end(), data.begin(), data.end());
    appendChunk(buffer, chunk.data(), chunk.size());
  }
  return buffer;
}

std::vector<ChunkPosition> chunkPositions(const Bytes& buffer) {
  std::vector<ChunkPosition> chunks;
  std::size_t pos = mszip::kHeaderSize;
  for (; pos + 4 <= buffer.size(); pos += 4 + chunks.back().length)
    chunks.push_back({pos, mszip::loadLe32(buffer.data() + pos)});
  EXPECT_EQ(pos, buffer.size()) << "not a buffer of whole chunks";
  return chunks;
}

void refreshCheckByte(Bytes& buffer) { buffer[6] = mszip::checkByte(buffer.data()); }

Bytes cabinetFromMszip(const Bytes& buffer, const std::string& fileName) {
  const std::uint64_t total = mszip::loadLe64(buffer.data() + 8);
  const auto chunks = chunkPositions(buffer);
  const std::size_t dataStart = kHeader + kFolder + kFile + fileName.size() + 1;
  Bytes cab(dataStart);
  std::copy_n("MSCF", 4, cab.begin());
  put32(cab, 16, kHeader + kFolder);  // first CFFILE
  cab[24] = 3;                        // version 1.3
  cab[25] = 1;
  put16(cab, 26, 1);  // folders
  put16(cab, 28, 1);  // files
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
    appendChunk(buffer, &cab[pos + kData], length);
    total += uncompressed;
    pos += kData + length;
  }
  mszip::writeHeader(total, buffer.data());
  return buffer;
}

}  // namespace quillon::test
