#include <gtest/gtest.h>

#include <cerrno>

#include "base/Hex.h"
#include "base/Status.h"
#include "base/Utf8.h"

namespace quillon {
namespace {

using namespace status;

TEST(Status, CodesConvertAndHaveTheirTexts) {
  EXPECT_EQ(hresultFromWin32(ERROR_ACCESS_DENIED), 0x80070005u);
  EXPECT_EQ(hresultFromWin32(0x12345), 0x80072345u);  // only the low word is kept
  EXPECT_EQ(hresultFromWin32(0), 0u);
  EXPECT_EQ(hresultFromWin32(E_FAIL), E_FAIL);  // negative as a signed value: unchanged
  EXPECT_EQ(hresultFromNt(STATUS_AUTH_TAG_MISMATCH), 0xD000A002u);

  EXPECT_EQ(win32FromErrno(0), ERROR_SUCCESS);
  EXPECT_EQ(win32FromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win32FromErrno(EROFS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(win32FromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(win32FromErrno(EPROTO), ERROR_GEN_FAILURE);  // anything unmapped

  EXPECT_STREQ(messageText(0x80070005), "Access is denied.");
  EXPECT_STREQ(messageText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_EQ(messageText(0x80071234), nullptr);
  EXPECT_EQ(messageText(hresultFromNt(STATUS_AUTH_TAG_MISMATCH)), nullptr);
}

TEST(Hex, EncodesUpperCaseAndDecodesStrictlyWithBlanks) {
  const std::uint8_t bytes[] = {0x00, 0x0A, 0xDB, 0xFF};
  EXPECT_EQ(hex::encode(bytes), "000ADBFF");
  std::vector<std::uint8_t> out;
  ASSERT_TRUE(hex::decode("00 a4\t04 0 4", out));
  EXPECT_EQ(out, (std::vector<std::uint8_t>{0x00, 0xA4, 0x04, 0x04}));
  EXPECT_FALSE(hex::decode("00A", out));
  EXPECT_TRUE(out.empty());
  EXPECT_FALSE(hex::decode("00G0", out));
  EXPECT_TRUE(out.empty());
}

TEST(Utf8, CountsCutsAndDecodesUtf16Units) {
  EXPECT_EQ(utf8::utf16Units("\xC3\xA9\xE2\x82\xAC\xF0\x9F\x94\x91"), 4u);  // e-acute, euro, a pair
  EXPECT_EQ(utf8::truncateToUtf16Units("a\xF0\x9F\x94\x91z", 2), "a");      // never splits a pair
  EXPECT_EQ(utf8::truncateToUtf16Units("\xC3\xA9\xC3", 5), "\xC3\xA9");     // drops a cut sequence

  std::string out;
  const unsigned char path[] = {'/', 0, 'm', 0, 0xE9, 0, 0x3D, 0xD8, 0x11, 0xDD, 0, 0, 'x', 0};
  ASSERT_TRUE(utf8::fromUtf16Le(path, sizeof path, out));
  EXPECT_EQ(out, "/m\xC3\xA9\xF0\x9F\x94\x91");  // stops at the NUL
  const unsigned char lone[] = {0x3D, 0xD8, 'a', 0};
  EXPECT_FALSE(utf8::fromUtf16Le(lone, sizeof lone, out));
}

}  // namespace
}  // namespace quillon
