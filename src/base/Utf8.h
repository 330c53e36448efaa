// Small UTF-8 helpers for texts whose limits are counted in UTF-16 units.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::utf8 {

// Number of UTF-16 units the text needs (a four-byte sequence counts twice).
// Malformed bytes count one unit each.
std::size_t utf16Units(std::string_view text) noexcept;

// The longest prefix of `text` that needs at most `maxUnits` UTF-16 units and
// does not split a sequence.
std::string_view truncateToUtf16Units(std::string_view text, std::size_t maxUnits) noexcept;

// UTF-16LE bytes (with or without a terminating NUL) to UTF-8. Surrogate pairs
// are joined; a lone surrogate fails. Stops at the first NUL.
bool fromUtf16Le(const unsigned char* data, std::size_t size, std::string& out);

}  // namespace quillon::utf8
