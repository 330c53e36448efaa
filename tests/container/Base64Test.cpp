// Base64 as the archives use it: OpenSSL's encoding for every length, and the
// decoder's rules for odd text and for output that runs out (container/base64.vec).
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <string>

#include "container/Base64.h"
#include "support/TestData.h"

namespace quillon::test {
namespace {

TEST(Base64Test, AgreesWithOpenSslForEveryLengthUpTo200) {
  for (std::size_t length = 0; length <= 200; ++length) {
    Bytes data(length), back(length);
    ASSERT_EQ(RAND_bytes(data.data(), static_cast<int>(length)), 1);
    std::string expected(base64::encodedLength(length), '\0');
    ASSERT_EQ(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(expected.data()), data.data(), static_cast<int>(length)),
              static_cast<int>(expected.size()));
    std::vector<char> text(base64::textBufferSize(length), 'x');
    const auto written = base64::encode(data, text);
    ASSERT_TRUE(written) << length;
    EXPECT_EQ(text[*written], '\0');
    EXPECT_EQ(std::string(text.data(), *written), expected) << "length " << length;
    EXPECT_EQ(base64::decode(expected, back), length);
    EXPECT_EQ(back, data) << "length " << length;
  }
  std::vector<char> exact(4, 'x');  // no room for the terminator
  EXPECT_FALSE(base64::encode(fromHex("666F6F"), exact));
  EXPECT_EQ(exact[0], 'x');
}

TEST(Base64Test, DecodingRules) {
  const auto cases = readVecFile("container/base64.vec");
  ASSERT_EQ(cases.size(), 19u);
  for (const VecRecord& c : cases) {
    const Bytes hex = c.count("TextHex") ? fromHex(c.at("TextHex")) : Bytes{};
    const std::string text = c.count("Text") ? c.at("Text") : std::string(hex.begin(), hex.end());
    Bytes out(std::stoul(c.at("Room")), 0xEE);
    const auto length = base64::decode(text, out);
    if (c.at("Bytes") == "error") {
      EXPECT_FALSE(length) << text;
    } else {
      ASSERT_TRUE(length) << text;
      out.resize(*length);
      EXPECT_EQ(toHex(out), c.at("Bytes")) << text;
    }
  }
}

}  // namespace
}  // namespace quillon::test
