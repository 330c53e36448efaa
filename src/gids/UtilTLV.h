// BER-TLV helpers over byte arrays: find an element by tag, read a length field,
// check that a range is exactly a sequence of elements, and size the data object
// at the start of a command. Lengths of one byte and the long forms 81 and 82 are
// read. Every read is bounds checked (SystemException 0x6700); malformed length
// fields raise InvalidArgumentsException, a missing tag NotFoundException.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon::UtilTLV {

// Offset of the first top-level element with this (single-byte) tag.
std::uint16_t findTag(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag);

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
