#include <gtest/gtest.h>

#include <cerrno>

#include "base/Status.h"
#include "base/Utf8.h"

namespace quillon {
namespace {

using namespace status;

TEST(Status, CodesConvertAndEveryCodeTheProgramProducesHasAText) {
  EXPECT_EQ(hresultFromWin32(ERROR_ACCESS_DENIED), 0x80070005u);
  EXPECT_EQ(hresultFromWin32(0x12345), 0x80072345u);  // only the low word is kept
  EXPECT_EQ(hresultFromWin32(E_FAIL), E_FAIL);        // negative as a signed value: unchanged
  EXPECT_EQ(hresultFromNt(STATUS_AUTH_TAG_MISMATCH), 0xD000A002u);

  EXPECT_EQ(win32FromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win32FromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(win32FromErrno(EPROTO), ERROR_GEN_FAILURE);  // anything unmapped

  EXPECT_STREQ(messageText(0x80070005), "Access is denied.");
  EXPECT_EQ(messageText(0x80071234), nullptr);

  // Every status the program can report has a text: no message ends in "(unknown error)".
  EXPECT_STREQ(messageText(NTE_NO_KEY), "Key does not exist.");  // an identity no key derives from
  EXPECT_STREQ(messageText(hresultFromNt(STATUS_AUTH_TAG_MISMATCH)),
               "The computed authentication tag did not match the input authentication tag.");
  const std::uint32_t codes[] = {
      E_NOTIMPL, E_FAIL, E_UNEXPECTED, E_ACCESSDENIED, E_OUTOFMEMORY, E_INVALIDARG, STRSAFE_E_INSUFFICIENT_BUFFER,
      HRESULT_FILE_TOO_LARGE, hresultFromWin32(ERROR_INVALID_DATA), hresultFromWin32(ERROR_BAD_COMPRESSION_BUFFER),
      hresultFromWin32(ERROR_NO_UNICODE_TRANSLATION), hresultFromWin32(ERROR_HANDLE_EOF), STATUS_NO_SUCH_DEVICE,
      STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER,
      // AES-GCM failures come as the HRESULT form of their NTSTATUS.
      hresultFromNt(STATUS_UNSUCCESSFUL), hresultFromNt(STATUS_INVALID_PARAMETER), hresultFromNt(STATUS_NO_MEMORY)};
  for (std::uint32_t code : codes) EXPECT_NE(messageText(code), nullptr) << std::hex << code;
  // Whatever errno a file operation meets, and whatever the smart-card service answers.
  for (int err = 0; err < 134; ++err)
    EXPECT_TRUE(messageText(win32FromErrno(err)) && messageText(hresultFromWin32(win32FromErrno(err)))) << err;
  for (std::uint32_t code = SCARD_F_INTERNAL_ERROR; code <= 0x8010006F;
       code = code == 0x80100031 ? 0x80100065 : code + 1)
    EXPECT_NE(messageText(code), nullptr) << std::hex << code;
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
