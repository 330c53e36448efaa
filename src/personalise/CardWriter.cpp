#include "personalise/CardWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>

#include "base/Status.h"
#include "base/Trace.h"
#include "container/ContainerFile.h"
#include "container/DriveLock.h"
#include "container/FilePersist.h"
#include "gids/GidsApplet.h"
#include "platform/DeviceDetails.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon {

std::uint32_t checkDriveDirectory(const std::string& drive) {
  if (drive.empty() ||
      drive.size() >= PATH_MAX - sizeof "/" - std::char_traits<char>::length(container::kContainerName))
    return status::ERROR_BUFFER_OVERFLOW;
  const int dir = ::open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return status::win32FromErrno(errno);
  ::close(dir);
  return 0;
}

std::uint32_t resolveIdentity(const std::string& drive, const DeviceIdentity* given, const platform::SystemPaths& paths,
                              DeviceIdentity& identity) {
  if (given != nullptr) {
    identity = *given;
    return 0;
  }
  platform::DeviceDetails details;
  std::uint32_t error = 0;
  if (!platform::GetDeviceDetails(paths, drive, details, error))
    return error != 0 ? error : status::ERROR_NOT_SUPPORTED;  // a refused device wrote nothing either
  identity = std::move(details);
  return 0;
}

std::uint32_t writeNewCard(const char* function, const std::string& drive, const DeviceIdentity& identity,
                           const std::function<void(IJCRuntime&)>& personalise, const Progress& progress) {
  QTRACE(trace::kInformation, function, "%s: initialising FilePersist", function);
  std::unique_ptr<JCRuntimeImpl> runtime;
  std::unique_ptr<FilePersist> persist;
  try {
    runtime = std::make_unique<JCRuntimeImpl>();
    if (GidsApplet::install(*runtime) == nullptr) throw std::bad_alloc();
    persist = std::make_unique<FilePersist>(identity, drive);
  } catch (...) {
    QTRACE(trace::kError, function, "%s: FilePersist/createRuntime threw an exception", function);
    return status::E_FAIL;
  }
  if (!persist->hasKey()) return FilePersist::kNoDeviceKey;  // never write under an underived key

  personalise(*runtime);

  QTRACE(trace::kInformation, function, "%s: GIDS applet runtime ready", function);
  if (progress) progress("writing the container");
  // Replaced between two commands of any other writer (the reader, an apdu shell).
  const container::DriveLock lock(drive, container::DriveLock::kWriterWait);
  if (!lock.locked()) {
    const std::uint32_t hr = status::hresultFromWin32(lock.win32Error());
    QTRACE(trace::kError, function, "%s: the drive is in use by another program (0x%08X)", function, hr);
    return hr;
  }
  const std::uint32_t saved = persist->save(*runtime);
  if (saved != 0) return saved;  // nothing written is no card created
  QTRACE(trace::kInformation, function, "%s: GIDS applet saved", function);
  runtime->clearResetTransients();
  return 0;
}

}  // namespace quillon
