#include "base/Utf8.h"

namespace quillon::utf8 {

namespace {
// Length of the sequence a lead byte announces, and the UTF-16 units it needs.
void leadInfo(unsigned char b, std::size_t& bytes, std::size_t& units) {
  if (b < 0x80)
    bytes = 1, units = 1;
  else if ((b & 0xE0) == 0xC0)
    bytes = 2, units = 1;
  else if ((b & 0xF0) == 0xE0)
    bytes = 3, units = 1;
  else if ((b & 0xF8) == 0xF0)
    bytes = 4, units = 2;
  else
    bytes = 1, units = 1;
}
}  // namespace

std::size_t utf16Units(std::string_view text) noexcept {
  std::size_t units = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t bytes = 0, u = 0;
    leadInfo(static_cast<unsigned char>(text[i]), bytes, u);
    i += bytes;
    units += u;
  }
  return units;
}

std::string_view truncateToUtf16Units(std::string_view text, std::size_t maxUnits) noexcept {
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t bytes = 0, u = 0;
    leadInfo(static_cast<unsigned char>(text[i]), bytes, u);
    if (units + u > maxUnits || i + bytes > text.size()) break;
    i += bytes;
    units += u;
  }
  return text.substr(0, i);
}

bool fromUtf16Le(const unsigned char* data, std::size_t size, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    char32_t c = static_cast<char32_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) return true;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 3 >= size) return false;
      const char32_t low = static_cast<char32_t>(data[i + 2] | (data[i + 3] << 8));
      if (low < 0xDC00 || low > 0xDFFF) return false;
      c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
      i += 2;
    } else if (c >= 0xDC00 && c <= 0xDFFF) {
      return false;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return true;
}

}  // namespace quillon::utf8
