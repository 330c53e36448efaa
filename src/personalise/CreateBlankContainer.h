// A card still in its initialisation phase: a freshly installed GIDS applet
// written as the secure container without any personalisation (no PIN, no
// administrator key, no file structure), for a user who personalises it through
// the virtual reader with another tool.
#pragma once

#include <cstdint>
#include <string>

#include "personalise/CreateSecureContainer.h"
#include "platform/SystemPaths.h"

namespace quillon {

// Writes the blank card as "<drive>/Quillon2.bin", sealed with the key of the
// drive's USB device (or of `identity` when given). Returns 0, a Win32 error code
// or an HRESULT; non-zero whenever no container was written.
std::uint32_t CreateBlankContainer(const std::string& drive, const DeviceIdentity* identity = nullptr,
                                   const platform::SystemPaths& paths = platform::SystemPaths(),
                                   const Progress& progress = nullptr);

}  // namespace quillon
