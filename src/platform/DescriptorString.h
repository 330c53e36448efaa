// The copy rule for the identity strings of a storage device (vendor, product,
// revision, serial number), so that sysfs text yields exactly the string the
// Windows storage descriptor gives for the same device. Returns a new string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quillon::platform {

inline constexpr std::size_t kMaxIdentityChars = 259;

// Copies `raw` up to the first byte that is NUL or outside 0x20..0x7E (sysfs
// text ends with '\n', so the copy stops there), at most kMaxIdentityChars bytes,
// then drops trailing blanks. Leading and inner blanks stay.
std::string copyDescriptorString(std::string_view raw);

}  // namespace quillon::platform
