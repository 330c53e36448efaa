// Bounds-checked helpers over byte arrays, in the manner of the card framework's
// Util class: every range is checked before a byte moves (SystemException 0x6700),
// and every write is noted with the destination's memory.
#pragma once

#include <cstdint>
#include <cstring>

#include "jc/JCArray.h"

namespace quillon::Util {

// Copies length bytes; the ranges may overlap.
inline void arrayCopy(const ByteArray& src, std::uint32_t srcOffset, ByteArray& dest, std::uint32_t destOffset,
                      std::uint32_t length) {
  if (length == 0) return;
  src.checkRange(srcOffset, length);
  dest.checkRange(destOffset, length);
  std::memmove(dest.data() + destOffset, src.data() + srcOffset, length);
  dest.noteWrite();
}

// Three-way comparison of two ranges: -1, 0 or 1; 0 for a zero length.
inline int arrayCompare(const ByteArray& a, std::uint32_t aOffset, const ByteArray& b, std::uint32_t bOffset,
                        std::uint32_t length) {
  if (length == 0) return 0;
  a.checkRange(aOffset, length);
  b.checkRange(bOffset, length);
  const int c = std::memcmp(a.data() + aOffset, b.data() + bOffset, length);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

inline void arrayFill(ByteArray& dest, std::uint32_t offset, std::uint32_t length, std::uint8_t value) {
  if (length == 0) return;
  dest.checkRange(offset, length);
  std::memset(dest.data() + offset, value, length);
  dest.noteWrite();
}

// Big-endian 16-bit values.
inline std::uint16_t getShort(const ByteArray& a, std::uint32_t offset) {
  a.checkRange(offset, 2);
  return static_cast<std::uint16_t>(a.data()[offset] << 8 | a.data()[offset + 1]);
}

inline void setShort(ByteArray& a, std::uint32_t offset, std::uint16_t value) {
  a.checkRange(offset, 2);
  a.data()[offset] = static_cast<std::uint8_t>(value >> 8);
  a.data()[offset + 1] = static_cast<std::uint8_t>(value);
  a.noteWrite();
}

}  // namespace quillon::Util
