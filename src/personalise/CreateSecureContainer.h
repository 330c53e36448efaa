// Card creation: a fresh GIDS applet personalised by the 25-command script (PIN,
// administrator key, serial number, GIDS file structure, minidriver master file,
// activation) and written as the secure container at the root of a drive.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/OpenSsl.h"
#include "platform/DeviceIdentity.h"
#include "platform/SystemPaths.h"

namespace quillon {

// The identity strings of the USB device that holds a drive.
using DeviceIdentity = platform::DeviceIdentity;

// "VENDOR:PRODUCT:REV:SERIAL" (fields may be empty; the serial takes the rest).
// Refused, with the reason in `reason` when given: text that no USB device can
// report, that is characters outside printable ASCII, a field ending in a blank
// (a device's strings lose their trailing blanks) or more than 259 characters.
bool parseIdentity(std::string_view text, DeviceIdentity& identity, std::string* reason = nullptr);

// One command of the personalisation script, with the trace line that goes before it.
// The text is NUL-terminated and held in wiped storage, since two commands carry
// the PIN and the administrator key.
struct ScriptCommand {
  std::string traceLine;  // empty: none
  ossl::SecureBytes text;
  bool secret = false;  // carries the PIN or the administrator key

  const char* c_str() const noexcept { return ossl::chars(text); }
};

// The script for these inputs: PIN of 4 to 16 characters, 24-byte key, 32 hex digits.
std::vector<ScriptCommand> personalisationScript(const char* pin, const std::uint8_t adminKey[24], const char* serial);

// Told the name of each phase of a long job as it starts.
using Progress = std::function<void(const char* phase)>;

// Creates the card on `drive` (a directory). The device identity is read from the
// drive's USB device unless `identity` gives it. Returns 0, a Win32 error code or
// an HRESULT; non-zero whenever no container was written.
std::uint32_t CreateSecureContainer(const char* pin, const std::uint8_t adminKey[24], const char* serial,
                                    const std::string& drive, const DeviceIdentity* identity = nullptr,
                                    const platform::SystemPaths& paths = platform::SystemPaths(),
                                    const Progress& progress = nullptr);

}  // namespace quillon
