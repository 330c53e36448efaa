#include "base/Status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace quillon {
namespace {

using namespace status;

TEST(Status, Win32CodesBecomeHresults) {
  EXPECT_EQ(hresultFromWin32(ERROR_ACCESS_DENIED), 0x80070005u);
  EXPECT_EQ(hresultFromWin32(ERROR_FILE_TOO_LARGE), HRESULT_FILE_TOO_LARGE);
  EXPECT_EQ(hresultFromWin32(0x12345), 0x80072345u);  // only the low word is kept
  EXPECT_EQ(hresultFromWin32(0), 0u);
  EXPECT_EQ(hresultFromWin32(E_FAIL), E_FAIL);  // negative as a signed value: unchanged
  EXPECT_EQ(hresultFromNt(STATUS_AUTH_TAG_MISMATCH), 0xD000A002u);
}

TEST(Status, ErrnoValuesMapToTheNearestWin32Code) {
  EXPECT_EQ(win32FromErrno(0), ERROR_SUCCESS);
  EXPECT_EQ(win32FromErrno(ENOENT), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win32FromErrno(EACCES), ERROR_ACCESS_DENIED);
  EXPECT_EQ(win32FromErrno(EROFS), ERROR_WRITE_PROTECT);
  EXPECT_EQ(win32FromErrno(ENOSPC), ERROR_DISK_FULL);
  EXPECT_EQ(win32FromErrno(ELOOP), ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_EQ(win32FromErrno(EPROTO), ERROR_GEN_FAILURE);
}

TEST(Status, MessageTextsFollowTheCodeFamily) {
  EXPECT_STREQ(messageText(0x80070005), "Access is denied.");
  EXPECT_STREQ(messageText(ERROR_FILE_NOT_FOUND), "The system cannot find the file specified.");
  EXPECT_STREQ(messageText(E_FAIL), "Unspecified error");
  EXPECT_STREQ(messageText(SCARD_E_NO_READERS_AVAILABLE), "Cannot find a smart card reader.");
  EXPECT_EQ(messageText(0x80071234), nullptr);
  EXPECT_EQ(messageText(hresultFromNt(STATUS_AUTH_TAG_MISMATCH)), nullptr);
}

}  // namespace
}  // namespace quillon
