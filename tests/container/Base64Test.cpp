#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <string>
#include <vector>

#include "container/Base64.h"

namespace quillon {
namespace {

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

TEST(Base64Test, EncodesTheStandardVectorsWithPadding) {
  // RFC 4648 section 10.
  EXPECT_EQ(encode({}), "");
  EXPECT_EQ(encode(bytesOf("f")), "Zg==");
  EXPECT_EQ(encode(bytesOf("fo")), "Zm8=");
  EXPECT_EQ(encode(bytesOf("foo")), "Zm9v");
  EXPECT_EQ(encode(bytesOf("foob")), "Zm9vYg==");
  EXPECT_EQ(encode(bytesOf("fooba")), "Zm9vYmE=");
  EXPECT_EQ(encode(bytesOf("foobar")), "Zm9vYmFy");
  EXPECT_EQ(encode({0xFB, 0xFF, 0xBF}), "+/+/");
}

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
}

TEST(Base64Test, EncodeRefusesABufferWithoutRoomForTheTerminator) {
  const Bytes data = bytesOf("foo");
  std::vector<char> exact(4, 'x');
  EXPECT_FALSE(base64::encode(data, exact));
  EXPECT_EQ(exact[0], 'x');
  std::vector<char> room(5);
  EXPECT_EQ(base64::encode(data, room), 4u);
}

TEST(Base64Test, DecodeTakesWholeGroupsAndIgnoresATrailingPart) {
  EXPECT_EQ(decode("Zm9vYg", 10), bytesOf("foo"));
  EXPECT_EQ(decode("Zm9", 10), Bytes{});
  EXPECT_EQ(decode("", 10), Bytes{});
  // A trailing part is not checked either.
  EXPECT_EQ(decode("Zm9v*", 10), bytesOf("foo"));
}

TEST(Base64Test, PaddingCountsAsZeroAndDropsOnlyItsOwnByte) {
  EXPECT_EQ(decode("Zg==", 10), bytesOf("f"));
  EXPECT_EQ(decode("Zm8=", 10), bytesOf("fo"));
  // "=" inside the text decodes as zero bits and the groups go on.
  EXPECT_EQ(decode("Zg==Zg==", 10), bytesOf("ff"));
  // A third-place "=" drops the second byte but not the third.
  EXPECT_EQ(decode("AA=B", 10), (Bytes{0x00, 0x01}));
  EXPECT_EQ(decode("====", 10), (Bytes{0x00}));
}

TEST(Base64Test, DecodeRefusesCharactersOutsideTheAlphabet) {
  for (const char* text : {"Zm9*", "Zm9v Zm9v", "Zm9v\nZm9v", "Zm-_", "Zm9v\x80\x80\x80\x80"}) {
    EXPECT_FALSE(decode(text, 10)) << text;
  }
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
