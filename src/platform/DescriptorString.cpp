#include "platform/DescriptorString.h"

namespace quillon::platform {

std::string copyDescriptorString(std::string_view raw) {
  std::size_t n = 0;
  const std::size_t limit = raw.size() < kMaxIdentityChars ? raw.size() : kMaxIdentityChars;
  while (n < limit) {
    const auto byte = static_cast<unsigned char>(raw[n]);
    if (byte < 0x20 || byte > 0x7E) break;
    ++n;
  }
  while (n > 0 && raw[n - 1] == ' ') --n;
  return std::string(raw.substr(0, n));
}

}  // namespace quillon::platform
