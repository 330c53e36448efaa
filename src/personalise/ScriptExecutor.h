// The one path from the personalisation script to the card: a command written as
// hexadecimal text becomes an APDU for the in-process runtime, and the status
// word comes back. The text scanner is lenient on purpose: what is not
// hexadecimal is skipped, never an error.
#pragma once

#include <cstdint>

#include "base/OpenSsl.h"
#include "jc/IJCRuntime.h"

namespace quillon {

inline constexpr std::size_t kMaxScriptCommand = 260;

// The command bytes of `text` (at most 260), in wiped storage: commands carry
// the PIN and the administrator key.
ossl::SecureBytes scanCommandText(const char* text);

// Sends the command; returns SW1*256+SW2, or 0 when the transmission failed or the
// answer was shorter than two bytes. A command that carries a secret (`secret`)
// is traced with its data hidden.
std::uint32_t execute(IJCRuntime& runtime, const char* text, bool secret = false);

}  // namespace quillon
