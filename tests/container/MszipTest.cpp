// The codec: the buffer Windows wrote decodes and our header matches it; round
// trips around a chunk, history across chunks and stored chunks; every check of
// the decoder against a buffer corrupted in that respect
// (container/mszip-corruption.vec); the decompressed-size cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>

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

// Offsets of the LEN fields of a buffer our encoder wrote.
std::vector<std::size_t> chunkOffsets(const Bytes& buffer) {
  std::vector<std::size_t> offsets;
  for (std::size_t pos = 24; pos + 4 <= buffer.size(); pos += 4 + mszip::loadLe32(&buffer[pos])) offsets.push_back(pos);
  return offsets;
}

TEST(MszipCodec, WindowsBufferDecodesAndOurHeaderIsTheSame) {
  const Bytes windows = test::readHexFile("container/mszip-windows-156.hex");
  ASSERT_EQ(windows.size(), 159u);
  EXPECT_EQ(mszip::checkByte(windows.data()), 0x0C);
  const Bytes plain = decompress(windows);
  ASSERT_EQ(plain.size(), 156u);
  std::uint8_t digest[32];
  ASSERT_TRUE(Sha256(plain.data(), plain.size(), digest));
  EXPECT_EQ(test::toHex(Bytes(digest, digest + 32)),
            "651931D271096683E03BB775DCF8FECD3893A35742963BE02AF1C71FB96DF9C2");
  const Bytes ours = encode(plain);
  EXPECT_TRUE(std::equal(ours.begin(), ours.begin() + 24, windows.begin()));
  EXPECT_EQ(chunkOffsets(ours).size(), 1u);
}

TEST(MszipCodec, ChunksOfSizesAroundAChunkAndStoredBlocks) {
  for (const std::size_t size : {0u, 1u, 32767u, 32768u, 32769u, 300000u}) {
    for (const Bytes& input : {xmlLikeText(size, 7), randomBytes(size, 7)}) {
      const Bytes buffer = encode(input);
      EXPECT_EQ(mszip::loadLe64(buffer.data() + 8), size);
      EXPECT_EQ(mszip::loadLe64(buffer.data() + 16), std::min<std::uint64_t>(size, 32768));
      EXPECT_EQ(chunkOffsets(buffer).size(), (size + 32767) / 32768) << size;
      EXPECT_EQ(decompress(buffer), input) << size;
    }
  }
  // Random chunks cannot deflate under a budget of 1000 bytes and are stored.
  const Bytes input = join(join(randomBytes(32768, 5), Bytes(32768, 'Q')), randomBytes(1000, 6));
  const Bytes buffer = encode(input, 1000);
  const auto at = chunkOffsets(buffer);
  ASSERT_EQ(at.size(), 3u);
  EXPECT_EQ(mszip::loadLe32(&buffer[at[0]]), 2u + 5 + 32768);  // "CK", one stored block header, the bytes
  EXPECT_LT(mszip::loadLe32(&buffer[at[1]]), 1000u);
  EXPECT_EQ(mszip::loadLe32(&buffer[at[2]]), 2u + 5 + 1000);
  EXPECT_EQ(decompress(buffer), input);
  Bytes small(MszipEncoder::bound(input.size()) - 1);
  std::size_t written = 1;
  EXPECT_EQ(MszipEncoder(1000).encode(input.data(), input.size(), small.data(), small.size(), written),
            Error::kOutputSize);
  EXPECT_EQ(written, 0u);
}

// Applies one step of container/mszip-corruption.vec to `b`.
void applyStep(Bytes& b, const std::string& step, const Bytes& base) {
  std::istringstream in(step);
  std::string op, a, v;
  in >> op >> a >> v;
  const auto baseChunks = chunkOffsets(base), chunks = chunkOffsets(b);
  const auto pos = [&](const std::string& p) {
    return p[0] == 'c' ? chunks.at(p[1] - '0') + (p.size() > 3 ? std::stoul(p.substr(3)) : 0) : std::stoul(p);
  };
  const auto refresh = [&] { b[6] = mszip::checkByte(b.data()); };
  if (op == "hdr") {
    b[std::stoul(a)] = test::fromHex(v)[0];
    refresh();
  } else if (op == "set") {
    b[pos(a)] = test::fromHex(v)[0];
  } else if (op == "len") {
    const std::size_t at = chunks.at(std::stoul(a));
    mszip::storeLe32(v == "+1" ? mszip::loadLe32(&b[at]) + 1 : static_cast<std::uint32_t>(std::stoul(v)), &b[at]);
  } else if (op == "cut") {
    b.resize(pos(a));
  } else if (op == "add") {
    b = join(b, test::fromHex(a));
  } else if (op == "total" || op == "header") {
    if (op == "header") b.assign(24, 0);
    mszip::writeHeader(std::stoull(a), b.data());
  } else if (op == "chunk") {
    Bytes data;
    if (a[0] == 'd') {
      const std::size_t i = a[1] - '0', at = baseChunks.at(i) + 6;
      data.assign(base.begin() + static_cast<std::ptrdiff_t>(at),
                  base.begin() + static_cast<std::ptrdiff_t>(at + mszip::loadLe32(&base[at - 6]) - 2));
      if (a.size() > 2)
        data = a[2] == '-' ? Bytes(data.begin(), data.end() - std::stoi(a.substr(3)))
                           : join(data, test::fromHex(a.substr(3)));
    } else {
      data = test::fromHex(a.substr(1));
    }
    Bytes frame(4);
    mszip::storeLe32(static_cast<std::uint32_t>(data.size() + 2), frame.data());
    b = join(join(join(b, frame), {'C', 'K'}), data);
  } else {
    ADD_FAILURE() << "unknown step " << step;
  }
}

TEST(MszipCorruption, EachCheckRefusesTheBufferCorruptedInItsRespect) {
  const Bytes base = encode(xmlLikeText(80000, 11));
  ASSERT_EQ(chunkOffsets(base).size(), 3u);
  const auto decode = [](const Bytes& b) {
    std::uint64_t total = 0;
    if (const Error e = mszip::readHeader(b.data(), b.size(), total); e != Error::kNone) return e;
    Bytes out(static_cast<std::size_t>(std::min<std::uint64_t>(total, 1 << 20)));
    return MszipDecoder().decode(b.data(), b.size(), out.data(), out.size());
  };
  EXPECT_EQ(decode(base), Error::kNone);
  const auto cases = test::readVecFile("container/mszip-corruption.vec");
  ASSERT_EQ(cases.size(), 27u);
  for (const test::VecRecord& c : cases) {
    Bytes b = base;
    std::stringstream steps(c.at("Edit"));
    for (std::string step; std::getline(steps >> std::ws, step, ';');) applyStep(b, step, base);
    EXPECT_EQ(mszip::describe(decode(b)), c.at("Error")) << c.at("Edit");
  }
}

TEST(CabinetDecompress, FullCapIsAcceptedAndAnythingElseRefusedWithItsStatus) {
  const Bytes full = xmlLikeText(2097152, 9);
  EXPECT_EQ(decompress(encode(full)), full);
  ossl::SecureBytes out{1, 2, 3};
  Bytes corrupt;
  applyStep(corrupt, "header 100", {});
  applyStep(corrupt, "chunk x0700", {});
  EXPECT_EQ(CabinetDecompress(corrupt.data(), corrupt.size(), out),
            status::hresultFromWin32(status::ERROR_BAD_COMPRESSION_BUFFER));
  EXPECT_TRUE(out.empty());
  // The cap applies to the header's total before any chunk is read.
  Bytes buffer(24);
  mszip::writeHeader(2097153, buffer.data());
  test::TraceCapture capture;
  out.assign(3, 0xEE);
  EXPECT_EQ(CabinetDecompress(buffer.data(), buffer.size(), out), 0x800700DFu);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(capture.sink().count("CabinetDecompress: decompressed size 2097153 exceeds cap 2097152"), 1u);
}

}  // namespace
}  // namespace quillon::container
