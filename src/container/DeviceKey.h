// The container key bound to a USB storage device: HMAC-SHA256, under a secret
// built into the program, of "vendor:product:revision:serial" as the device
// reports them. The caller owns the identity string and the 32 key bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/DeviceIdentity.h"

namespace quillon::container {

// Longest identity string: the Windows build joins it in 260 characters with its NUL.
inline constexpr std::size_t kMaxIdentityChars = 259;

// Joins vendor:product:revision:serial (empty fields keep their colons). False,
// with out emptied, when the result exceeds 259 characters.
bool BuildIdentityString(const platform::DeviceIdentity& identity, std::string& out);

// Fills key with the device key; false, with key zeroed, when the identity string
// overflows or HMAC fails. A false key must never encrypt or decrypt anything.
bool DeriveDeviceKey(const platform::DeviceIdentity& identity, std::uint8_t key[32]);

}  // namespace quillon::container
