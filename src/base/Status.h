// Status codes of the layers outside the card: Win32 error codes, HRESULTs and
// NTSTATUS values, the Win32 -> HRESULT rule, the errno -> Win32 mapping, and the
// table of message texts that a status box shows for a code.
#pragma once

#include <cstdint>

namespace quillon::status {

// Win32 error codes.
inline constexpr std::uint32_t ERROR_SUCCESS = 0;
inline constexpr std::uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr std::uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr std::uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr std::uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_INVALID_DATA = 13;
inline constexpr std::uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr std::uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr std::uint32_t ERROR_NOT_READY = 21;
inline constexpr std::uint32_t ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr std::uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_BUFFER_OVERFLOW = 111;
inline constexpr std::uint32_t ERROR_DISK_FULL = 112;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_NAME = 123;
inline constexpr std::uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr std::uint32_t ERROR_BUSY = 170;
inline constexpr std::uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr std::uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr std::uint32_t ERROR_FILE_TOO_LARGE = 223;
inline constexpr std::uint32_t ERROR_DIRECTORY = 267;
inline constexpr std::uint32_t ERROR_BAD_COMPRESSION_BUFFER = 605;
inline constexpr std::uint32_t ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t ERROR_IO_DEVICE = 1117;
inline constexpr std::uint32_t ERROR_NO_UNICODE_TRANSLATION = 1113;
inline constexpr std::uint32_t ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr std::uint32_t ERROR_NOT_FOUND = 1168;
inline constexpr std::uint32_t ERROR_TIMEOUT = 1460;
inline constexpr std::uint32_t ERROR_CANT_RESOLVE_FILENAME = 1921;

// HRESULTs.
inline constexpr std::uint32_t S_OK = 0;
inline constexpr std::uint32_t E_NOTIMPL = 0x80004001;
inline constexpr std::uint32_t E_FAIL = 0x80004005;
inline constexpr std::uint32_t E_UNEXPECTED = 0x8000FFFF;
inline constexpr std::uint32_t E_ACCESSDENIED = 0x80070005;
inline constexpr std::uint32_t E_OUTOFMEMORY = 0x8007000E;
inline constexpr std::uint32_t E_INVALIDARG = 0x80070057;
inline constexpr std::uint32_t STRSAFE_E_INSUFFICIENT_BUFFER = 0x8007007A;
inline constexpr std::uint32_t HRESULT_FILE_TOO_LARGE = 0x800700DF;  // ERROR_FILE_TOO_LARGE as an HRESULT
inline constexpr std::uint32_t NTE_NO_KEY = 0x8009000D;

// Smart-card service HRESULTs.
inline constexpr std::uint32_t SCARD_F_INTERNAL_ERROR = 0x80100001;
inline constexpr std::uint32_t SCARD_E_CANCELLED = 0x80100002;
inline constexpr std::uint32_t SCARD_E_INVALID_HANDLE = 0x80100003;
inline constexpr std::uint32_t SCARD_E_INVALID_PARAMETER = 0x80100004;
inline constexpr std::uint32_t SCARD_E_INSUFFICIENT_BUFFER = 0x80100008;
inline constexpr std::uint32_t SCARD_E_UNKNOWN_READER = 0x80100009;
inline constexpr std::uint32_t SCARD_E_TIMEOUT = 0x8010000A;
inline constexpr std::uint32_t SCARD_E_SHARING_VIOLATION = 0x8010000B;
inline constexpr std::uint32_t SCARD_E_NO_SMARTCARD = 0x8010000C;
inline constexpr std::uint32_t SCARD_E_READER_UNAVAILABLE = 0x80100017;
inline constexpr std::uint32_t SCARD_E_NO_SERVICE = 0x8010001D;
inline constexpr std::uint32_t SCARD_E_SERVICE_STOPPED = 0x8010001E;
inline constexpr std::uint32_t SCARD_E_UNSUPPORTED_FEATURE = 0x80100022;
inline constexpr std::uint32_t SCARD_E_NO_READERS_AVAILABLE = 0x8010002E;
inline constexpr std::uint32_t SCARD_W_REMOVED_CARD = 0x80100069;

// NTSTATUS values.
inline constexpr std::uint32_t STATUS_SUCCESS = 0;
inline constexpr std::uint32_t STATUS_NO_SUCH_DEVICE = 0xC000000E;
inline constexpr std::uint32_t STATUS_BUFFER_TOO_SMALL = 0xC0000023;
inline constexpr std::uint32_t STATUS_UNSUCCESSFUL = 0xC0000001;
inline constexpr std::uint32_t STATUS_INVALID_PARAMETER = 0xC000000D;
inline constexpr std::uint32_t STATUS_NO_MEMORY = 0xC0000017;
inline constexpr std::uint32_t STATUS_AUTH_TAG_MISMATCH = 0xC000A002;

// A positive Win32 code c becomes 0x80070000 + (c & 0xFFFF); zero and values that
// are negative as a signed 32-bit number (already HRESULTs) pass unchanged.
constexpr std::uint32_t hresultFromWin32(std::uint32_t code) noexcept {
  return static_cast<std::int32_t>(code) > 0 ? 0x80070000u | (code & 0xFFFFu) : code;
}

// The HRESULT form of an NTSTATUS.
constexpr std::uint32_t hresultFromNt(std::uint32_t status) noexcept { return status | 0x10000000u; }

// The nearest Win32 code for an errno value (0 for 0, ERROR_GEN_FAILURE for the rest).
std::uint32_t win32FromErrno(int err) noexcept;

// The HRESULT of a failed call's errno: its Win32 code as an HRESULT, and E_FAIL
// for an errno of 0, so that a failure never reads as success.
std::uint32_t hresultFromErrno(int err) noexcept;

// The system text of a code, or null when there is none (the caller then shows
// "(unknown error)"). HRESULTs of the 0x8007xxxx family share their Win32 text,
// and the HRESULT form of an NTSTATUS shares the NTSTATUS's.
const char* messageText(std::uint32_t code) noexcept;

}  // namespace quillon::status
