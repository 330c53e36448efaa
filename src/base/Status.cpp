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
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
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
    {ERROR_OPERATION_ABORTED, "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_DEVICE, "The request could not be performed because of an I/O device error."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_CANT_RESOLVE_FILENAME, "The name of the file cannot be resolved by the system."},
};

constexpr Entry kOtherTexts[] = {
    {E_NOTIMPL, "Not implemented"},
    {E_FAIL, "Unspecified error"},
    {E_UNEXPECTED, "Catastrophic failure"},
    {SCARD_F_INTERNAL_ERROR, "An internal consistency check failed."},
    {SCARD_E_CANCELLED, "The action was cancelled by an SCardCancel request."},
    {SCARD_E_INVALID_HANDLE, "The supplied handle was invalid."},
    {SCARD_E_INVALID_PARAMETER, "One or more of the supplied parameters could not be properly interpreted."},
    {SCARD_E_INSUFFICIENT_BUFFER, "The data buffer to receive returned data is too small for the returned data."},
    {SCARD_E_UNKNOWN_READER, "The specified reader name is not recognized."},
    {SCARD_E_TIMEOUT, "The user-specified timeout value has expired."},
    {SCARD_E_SHARING_VIOLATION, "The smart card cannot be accessed because of other connections outstanding."},
    {SCARD_E_NO_SMARTCARD,
     "The operation requires a Smart Card, but no Smart Card is currently in the device."},
    {SCARD_E_READER_UNAVAILABLE, "The specified reader is not currently available for use."},
    {SCARD_E_NO_SERVICE, "The Smart Card Resource Manager is not running."},
    {SCARD_E_SERVICE_STOPPED, "The Smart Card Resource Manager has shut down."},
    {SCARD_E_UNSUPPORTED_FEATURE, "This smart card does not support the requested feature."},
    {SCARD_E_NO_READERS_AVAILABLE, "Cannot find a smart card reader."},
    {SCARD_W_REMOVED_CARD, "The smart card has been removed, so that further communication is not possible."},
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
  if (static_cast<std::int32_t>(code) >= 0) return lookup(kWin32Texts, code);
  return nullptr;
}

}  // namespace quillon::status
