#include "cardops/DataObject.h"

namespace quillon::cardops {

bool readDataObject(std::span<const std::uint8_t> bytes, DataObject& object) {
  std::size_t at = 0;
  if (bytes.empty()) return false;
  std::uint32_t tag = bytes[at++];
  if ((tag & 0x1F) == 0x1F) {
    // Subsequent tag bytes continue while their top bit is set.
    for (;;) {
      if (at >= bytes.size() || at >= 3) return false;
      const std::uint8_t b = bytes[at++];
      tag = tag << 8 | b;
      if ((b & 0x80) == 0) break;
    }
  }
  if (at >= bytes.size()) return false;
  std::size_t length = bytes[at++];
  if (length == 0x81 || length == 0x82) {
    const std::size_t digits = length & 0x03;
    if (bytes.size() - at < digits) return false;
    length = 0;
    for (std::size_t i = 0; i < digits; ++i) length = length << 8 | bytes[at++];
  } else if (length > 0x80) {
    return false;
  } else if (length == 0x80) {
    return false;  // indefinite length has no place in a card answer
  }
  if (bytes.size() - at < length) return false;
  object.tag = tag;
  object.value = bytes.subspan(at, length);
  object.size = at + length;
  return true;
}

bool findDataObject(std::span<const std::uint8_t> bytes, std::uint32_t tag, DataObject& object) {
  while (!bytes.empty()) {
    DataObject next;
    if (!readDataObject(bytes, next)) return false;
    if (next.tag == tag) {
      object = next;
      return true;
    }
    bytes = bytes.subspan(next.size);
  }
  return false;
}

}  // namespace quillon::cardops
