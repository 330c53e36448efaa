#include "base/Status.h"

#include <cerrno>

namespace quillon::status {

std::uint32_t win32FromErrno(int err) noexcept {
  switch (err) {
    case 0: return ERROR_SUCCESS;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EROFS: return ERROR_WRITE_PROTECT;
    case EBUSY:
    case ETXTBSY: return ERROR_BUSY;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EFBIG: return ERROR_FILE_TOO_LARGE;
    case ELOOP: return ERROR_CANT_RESOLVE_FILENAME;
    case EIO: return ERROR_IO_DEVICE;
    case ENODEV:
    case ENXIO: return ERROR_DEVICE_NOT_CONNECTED;
    case ETIMEDOUT: return ERROR_TIMEOUT;
    case EINTR: return ERROR_OPERATION_ABORTED;
    case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
    default: return ERROR_GEN_FAILURE;
  }
}

std::uint32_t hresultFromErrno(int err) noexcept {
  const std::uint32_t hr = hresultFromWin32(win32FromErrno(err));
  return hr != 0 ? hr : E_FAIL;
}

namespace {
struct Entry {
  std::uint32_t code;
  const char* text;
};

constexpr Entry kWin32Texts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_WRITE_PROTECT, "The media is write protected."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION, "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BUFFER_OVERFLOW, "The file name is too long."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_DIR_NOT_EMPTY, "The directory is not empty."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_FILENAME_EXCED_RANGE, "The filename or extension is too long."},
    {ERROR_FILE_TOO_LARGE, "The file size exceeds the limit allowed and cannot be saved."},
    {ERROR_DIRECTORY, "The directory name is invalid."},
    {ERROR_BAD_COMPRESSION_BUFFER, "The specified buffer contains ill-formed data."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_NO_UNICODE_TRANSLATION, "No mapping for the Unicode character exists in the target multi-byte code page."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

constexpr Entry kOtherTexts[] = {
    {E_NOTIMPL, "Not implemented"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {NTE_NO_KEY, "Key does not exist."},
    // Every code the smart-card service can answer: pcsc-lite's set, which
    // answers "feature not supported" with 0x8010001F.
    {SCARD_F_INTERNAL_ERROR, "An internal consistency check failed."},
    {SCARD_E_CANCELLED, "The action was cancelled by an SCardCancel request."},
    {SCARD_E_INVALID_HANDLE, "The supplied handle was invalid."},
    {SCARD_E_INVALID_PARAMETER, "One or more of the supplied parameters could not be properly interpreted."},
    {0x80100005, "Registry startup information is missing or invalid."},
    {0x80100006, "Not enough memory available to complete this command."},
    {0x80100007, "An internal consistency timer has expired."},
    {SCARD_E_INSUFFICIENT_BUFFER, "The data buffer to receive returned data is too small for the returned data."},
    {SCARD_E_UNKNOWN_READER, "The specified reader name is not recognized."},
    {SCARD_E_TIMEOUT, "The user-specified timeout value has expired."},
    {SCARD_E_SHARING_VIOLATION, "The smart card cannot be accessed because of other connections outstanding."},
    {SCARD_E_NO_SMARTCARD, "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {0x8010000D, "The specified smart card name is not recognized."},
    {0x8010000E, "The system could not dispose of the media in the requested manner."},
    {0x8010000F, "The requested protocols are incompatible with the protocol currently in use with the smart card."},
    {0x80100010, "The reader or smart card is not ready to accept commands."},
    {0x80100011, "One or more of the supplied parameters values could not be properly interpreted."},
    {0x80100012, "The action was cancelled by the system, presumably to log off or shut down."},
    {0x80100013, "An internal communications error has been detected."},
    {0x80100014, "An internal error has been detected, but the source is unknown."},
    {0x80100015, "An ATR obtained from the registry is not a valid ATR string."},
    {0x80100016, "An attempt was made to end a non-existent transaction."},
    {SCARD_E_READER_UNAVAILABLE, "The specified reader is not currently available for use."},
    {0x80100018, "The operation has been aborted to allow the server application to exit."},
    {0x80100019, "The PCI Receive buffer was too small."},
    {0x8010001A, "The reader driver does not meet minimal requirements for support."},
    {0x8010001B, "The reader driver did not produce a unique reader name."},
    {0x8010001C, "The smart card does not meet minimal requirements for support."},
    {SCARD_E_NO_SERVICE, "The Smart Card Resource Manager is not running."},
    {SCARD_E_SERVICE_STOPPED, "The Smart Card Resource Manager has shut down."},
    {0x8010001F, "This smart card does not support the requested feature."},
    {0x80100020, "No primary provider can be found for the smart card."},
    {0x80100021, "The requested order of object creation is not supported."},
    {SCARD_E_UNSUPPORTED_FEATURE, "This smart card does not support the requested feature."},
    {0x80100023, "The identified directory does not exist in the smart card."},
    {0x80100024, "The identified file does not exist in the smart card."},
    {0x80100025, "The supplied path does not represent a smart card directory."},
    {0x80100026, "The supplied path does not represent a smart card file."},
    {0x80100027, "Access is denied to this file."},
    {0x80100028, "The smart card does not have enough memory to store the information."},
    {0x80100029, "There was an error trying to set the smart card file object pointer."},
    {0x8010002A, "The supplied PIN is incorrect."},
    {0x8010002B, "An unrecognized error code was returned from a layered component."},
    {0x8010002C, "The requested certificate does not exist."},
    {0x8010002D, "The requested certificate could not be obtained."},
    {SCARD_E_NO_READERS_AVAILABLE, "Cannot find a smart card reader."},
    {0x8010002F, "A communications error with the smart card has been detected. Retry the operation."},
    {0x80100030, "The requested key container does not exist on the smart card."},
    {0x80100031, "The Smart Card Resource Manager is too busy to complete this operation."},
    {0x80100065, "The reader cannot communicate with the smart card, due to ATR configuration conflicts."},
    {0x80100066, "The smart card is not responding to a reset."},
    {0x80100067, "Power has been removed from the smart card, so that further communication is not possible."},
    {0x80100068, "The smart card has been reset, so any shared state information is invalid."},
    {SCARD_W_REMOVED_CARD, "The smart card has been removed, so that further communication is not possible."},
    {0x8010006A, "Access was denied because of a security violation."},
    {0x8010006B, "The card cannot be accessed because the wrong PIN was presented."},
    {0x8010006C, "The card cannot be accessed because the maximum number of PIN entry attempts has been reached."},
    {0x8010006D, "The end of the smart card file has been reached."},
    {0x8010006E, "The action was cancelled by the user."},
    {0x8010006F, "No PIN was presented to the smart card."},
};

// NTSTATUS values, found also under their HRESULT form.
constexpr Entry kNtTexts[] = {
    {STATUS_UNSUCCESSFUL, "{Operation Failed} The requested operation was unsuccessful."},
    {STATUS_INVALID_PARAMETER, "An invalid parameter was passed to a service or function."},
    {STATUS_NO_SUCH_DEVICE, "A device which does not exist was specified."},
    {STATUS_NO_MEMORY,
     "{Not Enough Quota} Not enough virtual memory or paging file quota is available to complete the specified "
     "operation."},
    {STATUS_BUFFER_TOO_SMALL,
     "{Buffer Too Small} The buffer is too small to contain the entry. No information has been written to the "
     "buffer."},
    {STATUS_AUTH_TAG_MISMATCH, "The computed authentication tag did not match the input authentication tag."},
};

template <std::size_t N>
const char* lookup(const Entry (&table)[N], std::uint32_t code) {
  for (const auto& e : table)
    if (e.code == code) return e.text;
  return nullptr;
}
}  // namespace

const char* messageText(std::uint32_t code) noexcept {
  if (const char* text = lookup(kOtherTexts, code)) return text;
  if ((code & 0xFFFF0000u) == 0x80070000u) return lookup(kWin32Texts, code & 0xFFFFu);
  if ((code & 0xE0000000u) == 0xC0000000u) return lookup(kNtTexts, code & ~0x10000000u);
  if (static_cast<std::int32_t>(code) >= 0) return lookup(kWin32Texts, code);
  return nullptr;
}

}  // namespace quillon::status
