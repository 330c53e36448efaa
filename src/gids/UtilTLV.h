// BER-TLV helpers over byte arrays: read an element, find one by tag, check that
// a range is exactly a sequence of elements, and size the data object at the
// start of a command. Lengths of one byte and the long forms 81 and 82 are read.
// Every read is bounds checked (SystemException 0x6700); malformed length fields
// raise InvalidArgumentsException, a missing tag NotFoundException.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon::UtilTLV {

// Where an element's value lies.
struct Element {
  std::uint16_t value = 0;   // offset of the first value byte
  std::uint16_t length = 0;  // what the length field says
  std::uint32_t end() const { return std::uint32_t{value} + length; }
};

// The element whose one-byte tag is at `at`. A length field of 00 is malformed
// unless `emptyAllowed`; any other first byte from 80 on that is not 81 or 82
// is a one-byte field giving its low seven bits.
Element elementAt(const ByteArray& buffer, std::uint16_t at, bool emptyAllowed = false);

// Offset of the first top-level element with this (single-byte) tag.
std::uint16_t findTag(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag);

// elementAt of findTag.
inline Element findElement(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag,
                           bool emptyAllowed = false) {
  return elementAt(buffer, findTag(buffer, offset, length, tag), emptyAllowed);
}

// True when the range is exactly a sequence of TLV elements.
bool isTLVConsistent(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length);

std::uint16_t decodeLengthField(const ByteArray& buffer, std::uint16_t offset);
std::uint16_t getLengthFieldLength(const ByteArray& buffer, std::uint16_t offset);

// Whole size of the data object at the command data (offset 5), or 0 when it
// cannot be worked out or runs past `limit` (5 + Lc). Objects of 240 bytes or
// more are accepted even when this command carries only their start.
std::uint16_t getCommandDataObjectSize(const ByteArray& buffer, std::uint16_t limit);

// True when the (possibly multi-byte) tag at offset equals the encoded tag.
bool isTagEqual(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end, const ByteArray& tag);

// Length of the value of the element at offset (0 for length fields over two bytes).
std::uint16_t getValueLength(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end);

}  // namespace quillon::UtilTLV
