// Base64 as the archives use it (OpenSSL's encoding for every length, the decoder's
// rules for odd text), and blobs and raw buffers in the XML archives: sizes up to the
// 49,148-byte limit, what the writer refuses, and text that does not fit its length.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <optional>
#include <string>
#include <vector>

#include "XmlTestSupport.h"
#include "container/Base64.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using Bytes = std::vector<std::uint8_t>;

class XmlBufferTest : public test::XmlArchiveFixture {
 protected:
  bool readBlob(const std::string& attributes, Bytes& data) {
    return readElement(attributes, [&](XmlReadArchive& r) { r.ioBlob(data); });
  }
  bool readRaw(const std::string& attributes, std::uint8_t* data, std::size_t length) {
    return readElement(attributes, [&](XmlReadArchive& r) { r.ioRaw(data, length); });
  }
};

TEST_F(XmlBufferTest, BlobsAndRawBuffersRoundTripUpTo49148Bytes) {
  for (std::size_t length : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{32}, std::size_t{49148}}) {
    Bytes blob(length), raw(length);
    ASSERT_EQ(RAND_bytes(blob.data(), static_cast<int>(length)) + RAND_bytes(raw.data(), static_cast<int>(length)), 2);
    const std::string text = write([&](XmlWriteArchive& archive) {
      archive.pushElem("E");
      archive.ioBlob(blob);
      archive.ioRaw(raw.data(), raw.size());
    });
    if (length == 0) {
      EXPECT_NE(text.find("<E blobLen=\"0\"/>"), std::string::npos) << text;  // no data, no raw
    }
    Bytes blobBack{9};
    Bytes rawBack(length, 0);
    auto reader = open(text);
    reader.pushElem("E");
    reader.ioBlob(blobBack);
    reader.ioRaw(rawBack.data(), rawBack.size());
    EXPECT_FALSE(reader.failed()) << length;
    EXPECT_EQ(blobBack, blob) << length;
    EXPECT_EQ(rawBack, raw) << length;
  }
}

TEST_F(XmlBufferTest, NothingOver49148BytesIsWrittenOrDecoded) {
  Bytes big(49149, 0x5A);
  XmlWriteArchive blobWriter(runtime), rawWriter(runtime);
  blobWriter.pushElem("E");
  blobWriter.ioBlob(big);
  EXPECT_TRUE(blobWriter.failed());
  rawWriter.pushElem("E");
  rawWriter.ioRaw(big.data(), big.size());
  EXPECT_TRUE(rawWriter.failed());

  // The stored length alone refuses: the text is not Base64 at all.
  test::TraceCapture capture(trace::kError);
  Bytes data{7};
  EXPECT_TRUE(readBlob("blobLen=\"49149\" blobData=\"!!!!\"", data));
  EXPECT_EQ(capture.sink().count("XmlReadArchive::ioBlob: blob too large (49149 bytes)"), 1u);
  EXPECT_EQ(data, Bytes{7});
  EXPECT_TRUE(readRaw("rawData=\"AAAA\"", big.data(), big.size()));
}

TEST_F(XmlBufferTest, TextThatDoesNotFitItsLengthFails) {
  Bytes data{7, 7};
  EXPECT_TRUE(readBlob("blobLen=\"5\" blobData=\"AQIDBA==\"", data));  // 4 bytes
  EXPECT_TRUE(data.empty());
  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQ*D\"", data));
  EXPECT_TRUE(data.empty());
  data = {7};
  EXPECT_TRUE(readBlob("blobLen=\"3\"", data));
  EXPECT_EQ(data, Bytes{7});
  // Text longer than the buffer is cut to the room of the length, then decoded.
  EXPECT_TRUE(readBlob("blobLen=\"3\" blobData=\"AQIDBAUG\"", data));  // the second group starts with the output full
  EXPECT_FALSE(readBlob("blobLen=\"4\" blobData=\"AQIDBAUG\"", data));
  EXPECT_EQ(data, (Bytes{1, 2, 3, 4}));

  std::uint8_t buffer[4] = {9, 9, 9, 9};
  EXPECT_FALSE(readRaw("rawData=\"AQ==!!!!\"", buffer, 1));  // the second group is never seen
  EXPECT_FALSE(readRaw("rawData=\"AQI=\"", buffer, 4));      // fills the start of the buffer
  EXPECT_EQ(Bytes(buffer, buffer + 4), (Bytes{1, 2, 9, 9}));
  EXPECT_TRUE(readRaw("rawData=\"AQ I\"", buffer, 4));
  EXPECT_TRUE(readRaw("other=\"AQID\"", buffer, 4));
}

using Bytes = std::vector<std::uint8_t>;

std::string encode(const Bytes& data) {
  std::vector<char> out(base64::textBufferSize(data.size()), 'x');
  const auto length = base64::encode(data, out);
  if (!length) return "<failed>";
  EXPECT_EQ(out[*length], '\0');
  return std::string(out.data(), *length);
}

// Decodes into a buffer of `capacity` bytes; nullopt on error.
std::optional<Bytes> decode(std::string_view text, std::size_t capacity) {
  Bytes out(capacity, 0xEE);
  const auto length = base64::decode(text, out);
  if (!length) return std::nullopt;
  out.resize(*length);
  return out;
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(Base64Test, AgreesWithOpenSslForEveryLengthUpTo200) {
  for (std::size_t length = 0; length <= 200; ++length) {
    Bytes data(length);
    ASSERT_EQ(RAND_bytes(data.data(), static_cast<int>(length)), 1);
    std::string expected(base64::encodedLength(length), '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(), static_cast<int>(length));
    ASSERT_EQ(static_cast<std::size_t>(written), expected.size());
    EXPECT_EQ(encode(data), expected) << "length " << length;
    EXPECT_EQ(decode(expected, length), data) << "length " << length;
  }
  std::vector<char> exact(4, 'x');  // no room for the terminator
  EXPECT_FALSE(base64::encode(bytesOf("foo"), exact));
  EXPECT_EQ(exact[0], 'x');
}

TEST(Base64Test, DecodeTakesWholeGroupsAndCountsPaddingAsZero) {
  EXPECT_EQ(decode("Zm9vYg", 10), bytesOf("foo"));  // a trailing part is ignored, not checked
  EXPECT_EQ(decode("Zm9v*", 10), bytesOf("foo"));
  EXPECT_EQ(decode("Zm9", 10), Bytes{});
  EXPECT_EQ(decode("Zg==Zg==", 10), bytesOf("ff"));    // "=" inside the text: zero bits, the groups go on
  EXPECT_EQ(decode("AA=B", 10), (Bytes{0x00, 0x01}));  // a third-place "=" drops only the second byte
  EXPECT_EQ(decode("====", 10), (Bytes{0x00}));
  for (const char* text : {"Zm9*", "Zm9v Zm9v", "Zm9v\nZm9v", "Zm-_", "Zm9v\x80\x80\x80\x80"})
    EXPECT_FALSE(decode(text, 10)) << text;
}

TEST(Base64Test, DecodeDropsBytesPastTheEndButRefusesAGroupThatStartsThere) {
  EXPECT_EQ(decode("Zm9v", 2), bytesOf("fo"));
  EXPECT_EQ(decode("Zm9vYmFy", 4), bytesOf("foob"));
  EXPECT_FALSE(decode("Zm9vYmFy", 3));
  EXPECT_FALSE(decode("Zm9v", 0));
  EXPECT_EQ(decode("Zm9", 0), Bytes{});
}

}  // namespace
}  // namespace quillon
