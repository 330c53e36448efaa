// What card creation and the decryption tool share: checking the drive, finding
// the identity its key is derived from, and writing a fresh applet (after the
// caller has sent it whatever it needs) as the drive's container.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "jc/IJCRuntime.h"
#include "personalise/CreateSecureContainer.h"

namespace quillon {

// 0; ERROR_BUFFER_OVERFLOW for an empty or overlong path; otherwise the Win32
// error of opening it as a directory.
std::uint32_t checkDriveDirectory(const std::string& drive);

// The identity `given`, or the one the drive's USB device reports. 0 or a Win32
// error, which is never 0 when the device is refused.
std::uint32_t resolveIdentity(const std::string& drive, const DeviceIdentity* given, const platform::SystemPaths& paths,
                              DeviceIdentity& identity);

// Installs a fresh GIDS applet, lets `personalise` send it its commands, and saves
// it as the container of `drive` under the identity's key, holding the drive's
// lock for the write. Traces name `function`. Returns 0, E_FAIL when the runtime
// cannot be built, the HRESULT of a lock not had, or the save's HRESULT.
std::uint32_t writeNewCard(const char* function, const std::string& drive, const DeviceIdentity& identity,
                           const std::function<void(IJCRuntime&)>& personalise, const Progress& progress);

}  // namespace quillon
