#include <gtest/gtest.h>

#include "base/Hex.h"
#include "base/Utf8.h"

namespace quillon {
namespace {

TEST(Hex, EncodesUpperCaseTwoDigitsAByte) {
  const std::uint8_t bytes[] = {0x00, 0x0A, 0xDB, 0xFF};
  EXPECT_EQ(hex::encode(bytes), "000ADBFF");
  EXPECT_EQ(hex::encode({}), "");
}

TEST(Hex, DecodesStrictlyWithBlanksBetweenDigits) {
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(hex::decode("00 a4\t04 0 4", out));
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x04}));
  EXPECT_FALSE(hex::decode("00A", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(hex::decode("00G0", out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(hex::decode("", out));
}

TEST(Utf8, CountsAndCutsByUtf16Units) {
  EXPECT_EQ(utf8::utf16Units("abc"), 3u);
  EXPECT_EQ(utf8::utf16Units("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x91"), 4u);  // e-acute, euro, a pair
  EXPECT_EQ(utf8::truncateToUtf16Units("a\xF0\x9F\x94\x91z", 2), "a");       // never splits a pair
  EXPECT_EQ(utf8::truncateToUtf16Units("\xC3\xA9\xC3", 5), "\xC3\xA9");      // drops a cut sequence
}

TEST(Utf8, DecodesUtf16LeWithSurrogatePairs) {
  std::string out;
  const unsigned char path[] = {'/', 0, 'm', 0, 0xE9, 0, 0x3D, 0xD8, 0x11, 0xDD, 0, 0, 'x', 0};
  ASSERT_TRUE(utf8::fromUtf16Le(path, sizeof path, out));
  EXPECT_EQ(out, "/m\xC3\xA9\xF0\x9F\x94\x91");  // stops at the NUL
  const unsigned char lone[] = {0x3D, 0xD8, 'a', 0};
  EXPECT_FALSE(utf8::fromUtf16Le(lone, sizeof lone, out));
}

}  // namespace
}  // namespace quillon
