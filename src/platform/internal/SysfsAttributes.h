// Typed reads of sysfs attributes, returning Win32 codes. Internal to the platform layer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/SystemPaths.h"

namespace quillon::platform::internal {

// A decimal attribute ("1\n") no greater than `max`. Returns 0, the Win32 form of
// the read error, or ERROR_INVALID_DATA for anything but digits and one final '\n'.
std::uint32_t readNumber(const SystemPaths& paths, const std::filesystem::path& file, std::uint32_t max,
                         std::uint32_t& value);

// As readNumber, but an absent attribute gives `fallback`.
std::uint32_t readOptionalNumber(const SystemPaths& paths, const std::filesystem::path& file, std::uint32_t max,
                                 std::uint32_t fallback, std::uint32_t& value);

// An attribute's raw text; an absent attribute gives "" (the descriptor's offset 0).
std::uint32_t readOptionalText(const SystemPaths& paths, const std::filesystem::path& file, std::string& text);

}  // namespace quillon::platform::internal
