#include "personalise/CreateBlankContainer.h"

#include "base/Status.h"
#include "base/Trace.h"
#include "personalise/CardWriter.h"

namespace quillon {

namespace {
constexpr const char* kFn = "CreateBlankContainer";
}  // namespace

std::uint32_t CreateBlankContainer(const std::string& drive, const DeviceIdentity* given,
                                   const platform::SystemPaths& paths, const Progress& progress) {
  QTRACE(trace::kVerbose, kFn, "CreateBlankContainer: drive=%s", drive.c_str());
  if (const std::uint32_t error = checkDriveDirectory(drive)) {
    if (error == status::ERROR_BUFFER_OVERFLOW)
      QTRACE(trace::kError, kFn, "CreateBlankContainer: drive path too long");
    else
      QTRACE(trace::kError, kFn, "CreateBlankContainer: opening %s failed 0x%08X", drive.c_str(), error);
    return error;
  }
  if (progress) progress("reading the device identity");
  DeviceIdentity identity;
  if (const std::uint32_t error = resolveIdentity(drive, given, paths, identity)) {
    const std::uint32_t hr = status::hresultFromWin32(error);
    QTRACE(trace::kError, kFn, "CreateBlankContainer: GetDeviceDetails failed 0x%08X", hr);
    return hr;
  }
  QTRACE(trace::kInformation, kFn, "CreateBlankContainer: vendor=%s product=%s revision=%s", identity.vendor.c_str(),
         identity.product.c_str(), identity.revision.c_str());
  // Nothing is sent: the applet stays in its initialisation phase.
  return writeNewCard(
      kFn, drive, identity, [](IJCRuntime&) {}, progress);
}

}  // namespace quillon
