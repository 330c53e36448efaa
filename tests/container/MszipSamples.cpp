#include "MszipSamples.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <string>

#include "container/MszipFormat.h"

namespace quillon::test {

namespace mszip = container::mszip;

Bytes xmlLikeText(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  static const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  static const char* const kNames[] = {"ElementaryFile", "DedicatedFile", "Record", "PinManager", "RSAKey"};
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<GIDS version=\"2\">\n";
  while (text.size() < size) {
    const char* name = kNames[rng() % 5];
    text += "  <";
    text += name;
    text += " id=\"" + std::to_string(0xA000 + rng() % 0x100) + "\" state=\"" + std::to_string(rng() % 8) + "\">\n";
    text += "    <FCP>62";
    for (int i = 0; i < 12; ++i) text += "0123456789ABCDEF"[rng() % 16];
    text += "</FCP>\n    <Data>";
    const std::size_t blob = rng() % 300;
    for (std::size_t i = 0; i < blob; ++i) text += kBase64[rng() % 64];
    text += "</Data>\n  </";
    text += name;
    text += ">\n";
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

Bytes rawDeflate(const Bytes& data, const Bytes& dictionary, bool finish) {
  z_stream z{};
  EXPECT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY), Z_OK);
  if (!dictionary.empty()) {
    EXPECT_EQ(deflateSetDictionary(&z, dictionary.data(), static_cast<uInt>(dictionary.size())), Z_OK);
  }
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

Bytes assembleMszip(std::uint64_t total, const std::vector<Bytes>& deflateData) {
  Bytes buffer(mszip::kHeaderSize);
  mszip::writeHeader(total, buffer.data());
  for (const Bytes& data : deflateData) {
    std::uint8_t length[4];
    mszip::storeLe32(static_cast<std::uint32_t>(data.size() + 2), length);
    buffer.insert(buffer.end(), length, length + 4);
    buffer.push_back('C');
    buffer.push_back('K');
    buffer.insert(buffer.end(), data.begin(), data.end());
  }
  return buffer;
}

std::vector<ChunkPosition> chunkPositions(const Bytes& buffer) {
  std::vector<ChunkPosition> chunks;
  std::size_t pos = mszip::kHeaderSize;
  while (pos + 4 <= buffer.size()) {
    const std::uint32_t length = mszip::loadLe32(buffer.data() + pos);
    chunks.push_back({pos, length});
    pos += 4 + length;
  }
  EXPECT_EQ(pos, buffer.size()) << "not a buffer of whole chunks";
  return chunks;
}

void refreshCheckByte(Bytes& buffer) { buffer[6] = mszip::checkByte(buffer.data()); }

}  // namespace quillon::test
