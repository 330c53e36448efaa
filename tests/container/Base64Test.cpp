// Base64 as the archives use it: OpenSSL's encoding for every length, and the
// decoder's rules for odd text and for output that runs out.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <optional>
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

TEST(Base64Test, DecodeTakesWholeGroupsCountsPaddingAsZeroAndStopsAtTheEnd) {
  EXPECT_EQ(decode("Zm9vYg", 10), bytesOf("foo"));  // a trailing part is ignored, not checked
  EXPECT_EQ(decode("Zm9v*", 10), bytesOf("foo"));
  EXPECT_EQ(decode("Zm9", 10), Bytes{});
  EXPECT_EQ(decode("Zg==Zg==", 10), bytesOf("ff"));    // "=" inside the text: zero bits, the groups go on
  EXPECT_EQ(decode("AA=B", 10), (Bytes{0x00, 0x01}));  // a third-place "=" drops only the second byte
  EXPECT_EQ(decode("====", 10), (Bytes{0x00}));
  for (const char* text : {"Zm9*", "Zm9v Zm9v", "Zm9v\nZm9v", "Zm-_", "Zm9v\x80\x80\x80\x80"})
    EXPECT_FALSE(decode(text, 10)) << text;
  // Bytes past the end of the output are dropped, but a group that starts there is refused.
  EXPECT_EQ(decode("Zm9v", 2), bytesOf("fo"));
  EXPECT_EQ(decode("Zm9vYmFy", 4), bytesOf("foob"));
  EXPECT_FALSE(decode("Zm9vYmFy", 3));
  EXPECT_FALSE(decode("Zm9v", 0));
  EXPECT_EQ(decode("Zm9", 0), Bytes{});
}

}  // namespace
}  // namespace quillon
