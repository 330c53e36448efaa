#include "personalise/ReaderControl.h"

#include <unistd.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "base/Status.h"
#include "base/Trace.h"
#include "container/ContainerFile.h"
#include "container/DriveLock.h"
#include "container/FilePersist.h"
#include "personalise/CreateBlankContainer.h"
#include "personalise/DevicePath.h"
#include "personalise/FormatCard.h"
#include "personalise/ReaderConnection.h"
#include "platform/VolumePath.h"

namespace quillon {

namespace {

constexpr const char* kFormat = "Format";
constexpr const char* kClear = "Clear";
constexpr const char* kReaderNotFound = "The Brindleworth virtual reader was not found.";

// The reader steps of Format around one card creation, named `creation` in the trace.
std::uint32_t formatAround(const char* creation, const std::function<std::uint32_t()>& create, const std::string& drive,
                           const platform::SystemPaths& paths, const Progress& progress, ReaderStep* failedStep,
                           const PcscApi& pcsc) {
  ReaderStep ignored;
  ReaderStep& step = failedStep != nullptr ? *failedStep : ignored;
  step = ReaderStep::kNone;
  auto phase = [&](const char* name) {
    if (progress) progress(name);
  };
  // A failed step; `what` names it in the trace unless the caller traced it.
  auto fail = [&](ReaderStep failed, const char* what, std::uint32_t status) {
    if (what != nullptr) QTRACE(trace::kError, kFormat, "Format: %s 0x%08x", what, status);
    step = failed;
    return status;
  };

  ReaderConnection reader(pcsc);  // cleaned up on every way out
  phase("connecting to the virtual reader");
  std::uint32_t status = reader.establishContext();
  if (status != 0) return fail(ReaderStep::kEstablishContext, "SCardEstablishContext", status);
  status = reader.listReaders();
  if (status != 0) return fail(ReaderStep::kListReaders, "SCardListReaders", status);
  const char* name = reader.findVirtualReader();
  if (name == nullptr) {
    QTRACE(trace::kError, kFormat, "Format: Brindleworth reader not found");
    return fail(ReaderStep::kFindReader, nullptr, status::SCARD_E_NO_READERS_AVAILABLE);
  }
  QTRACE(trace::kInformation, kFormat, "Format: connecting to reader %s", name);
  status = reader.connect(name);
  if (status != 0) return fail(ReaderStep::kConnect, "SCardConnect", status);
  phase("ejecting the virtual reader's card");
  status = reader.control(ReaderConnection::kEject);
  if (status != 0) return fail(ReaderStep::kEject, "SCardControl(EJECT)", status);

  // The reader has let go of the container: it may be replaced now.
  status = create();
  if (status != 0) return fail(ReaderStep::kCreate, creation, status);
  std::string devicePath;
  status = BuildPnpPathFromDriveLetter(drive, devicePath, paths);
  if (status != 0) return fail(ReaderStep::kDevicePath, "BuildPnpPathFromDriveLetter", status);
  phase("handing the card to the virtual reader");
  const std::vector<std::uint8_t> input = platform::encodeDevicePath(devicePath);  // checked above
  status = reader.control(ReaderConnection::kSwallow, input.data(), input.size());
  if (status != 0) return fail(ReaderStep::kSwallow, "SCardControl(SWALLOW)", status);
  QTRACE(trace::kInformation, kFormat, "Format: completed successfully");
  return 0;
}

}  // namespace

std::uint32_t Format(const char* pin, const std::uint8_t adminKey[24], const char* serial, const std::string& drive,
                     const DeviceIdentity* identity, const platform::SystemPaths& paths, const Progress& progress,
                     ReaderStep* failedStep, const PcscApi& pcsc) {
  QTRACE(trace::kVerbose, kFormat, "Format: pin length=%zu serial=%s drive=%s", std::char_traits<char>::length(pin),
         serial, drive.c_str());
  return formatAround(
      "CreateSecureContainer",
      [&] { return CreateSecureContainer(pin, adminKey, serial, drive, identity, paths, progress); }, drive, paths,
      progress, failedStep, pcsc);
}

std::uint32_t FormatBlank(const std::string& drive, const DeviceIdentity* identity, const platform::SystemPaths& paths,
                          const Progress& progress, ReaderStep* failedStep, const PcscApi& pcsc) {
  QTRACE(trace::kVerbose, kFormat, "Format: blank card drive=%s", drive.c_str());
  return formatAround(
      "CreateBlankContainer", [&] { return CreateBlankContainer(drive, identity, paths, progress); }, drive, paths,
      progress, failedStep, pcsc);
}

ClearResult Clear(const std::string& drive, const PcscApi& pcsc) {
  ClearResult result;
  // A failed step; `what` names it in the trace unless the caller traced it.
  auto fail = [&](ReaderStep step, const char* what, std::uint32_t status, std::string message = {}) {
    if (what != nullptr) QTRACE(trace::kError, kClear, "Clear: %s failed 0x%08x", what, status);
    result.failedStep = step;
    result.status = status;
    result.message = std::move(message);
    return result;
  };

  QTRACE(trace::kVerbose, kClear, "Clear");
  if (drive.empty()) {
    QTRACE(trace::kError, kClear, "Clear: no drive selected");
    return fail(ReaderStep::kDrive, nullptr, status::E_INVALIDARG, "No drive has been selected.");
  }
  QTRACE(trace::kInformation, kClear, "Clear: drive = %s", drive.c_str());

  ReaderConnection reader(pcsc);  // cleaned up on every way out
  std::uint32_t status = reader.establishContext();
  if (status != 0) return fail(ReaderStep::kEstablishContext, "SCardEstablishContext", status);
  status = reader.listReaders();
  if (status != 0) return fail(ReaderStep::kListReaders, "SCardListReaders", status);
  const char* name = reader.findVirtualReader();
  if (name == nullptr) {
    QTRACE(trace::kError, kClear, "Clear: Brindleworth reader not found");
    return fail(ReaderStep::kFindReader, nullptr, status::SCARD_E_NO_READERS_AVAILABLE, kReaderNotFound);
  }
  QTRACE(trace::kInformation, kClear, "Clear: connecting to reader '%s'", name);
  status = reader.connect(name);
  if (status != 0) return fail(ReaderStep::kConnect, "SCardConnect", status);
  status = reader.control(ReaderConnection::kEject);
  if (status != 0) return fail(ReaderStep::kEject, "SCardControl(EJECT)", status);

  const std::string container = container::containerPathOn(drive);
  QTRACE(trace::kInformation, kClear, "Clear: deleting '%s'", container.c_str());
  // Not in the middle of another writer's command (an apdu shell's).
  const container::DriveLock lock(drive, container::DriveLock::kWriterWait);
  if (!lock.locked()) {
    status = lock.win32Error();
    QTRACE(trace::kError, kClear, "Clear: the drive cannot be locked 0x%08x", status);
    return fail(ReaderStep::kDelete, nullptr, status, statusMessage(status));
  }
  if (::unlink(container.c_str()) == 0) {
    QTRACE(trace::kInformation, kClear, "Clear: file deleted successfully");
    result.deleted = true;
    return result;
  }
  status = status::win32FromErrno(errno);
  if (status == status::ERROR_FILE_NOT_FOUND) {
    QTRACE(trace::kWarning, kClear, "Clear: file not found, nothing to delete");
    return result;
  }
  return fail(ReaderStep::kDelete, "DeleteFile", status, statusMessage(status));
}

const char* readerFailureMessage(ReaderStep step, std::uint32_t status) noexcept {
  switch (step) {
    case ReaderStep::kNone:
    case ReaderStep::kCreate: return nullptr;
    case ReaderStep::kDrive: return "No drive has been selected.";
    case ReaderStep::kEstablishContext:
      return status == status::SCARD_E_NO_SERVICE ? "The smart-card service (pcscd) is not running."
                                                  : "The smart-card service could not be reached.";
    case ReaderStep::kListReaders:
      return status == status::SCARD_E_NO_READERS_AVAILABLE ? kReaderNotFound
                                                            : "The smart-card readers could not be listed.";
    case ReaderStep::kFindReader: return kReaderNotFound;
    case ReaderStep::kConnect: return "The Brindleworth virtual reader could not be connected to.";
    case ReaderStep::kEject: return "The virtual reader did not eject its card; nothing was changed.";
    case ReaderStep::kDevicePath:
      return "The card was written, but its volume could not be named to the virtual reader, which now has no card.";
    case ReaderStep::kSwallow: return "The card was written, but the virtual reader did not take it up.";
    case ReaderStep::kDelete: return "The card could not be deleted.";
  }
  return nullptr;
}

}  // namespace quillon
