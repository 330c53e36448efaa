#include "gids/UtilTLV.h"

namespace quillon::UtilTLV {

namespace {

constexpr bool isMultiByteTag(std::uint8_t first) { return (first & 0x1F) == 0x1F; }

// Size of the length field that starts with `first`: 81 and 82 are the long
// forms read here; every other byte stands alone.
constexpr std::uint16_t fieldSize(std::uint8_t first) { return first == 0x82 ? 3 : (first == 0x81 ? 2 : 1); }

// A length field: its first byte, its size, and the length it gives (the low
// seven bits of a lone byte from 80 on).
struct LengthField {
  std::uint8_t first;
  std::uint16_t size;
  std::uint16_t length;
};

// The length field at `at`, its whole extent checked against the array at once.
LengthField readLengthField(const ByteArray& buffer, std::uint32_t at) {
  const std::uint8_t first = buffer[at];
  const std::uint16_t size = fieldSize(first);
  buffer.checkRange(at, size);
  const std::uint8_t* field = buffer.data() + at;
  std::uint16_t length = first & 0x7F;
  if (size == 2) length = field[1];
  if (size == 3) length = static_cast<std::uint16_t>(field[1] << 8 | field[2]);
  return {first, size, length};
}

// Size of a tag whose first byte is at `first`: continuation bytes (bit 0x80
// set) and the last byte count; nothing at or past `end` is read.
std::uint32_t tagSize(const ByteArray& buffer, std::uint32_t first, std::uint32_t end) {
  std::uint32_t t = 1;
  if (!isMultiByteTag(buffer[first])) return t;
  for (std::uint32_t position = first + 1; position < end;) {
    const std::uint8_t b = buffer[position++];
    ++t;
    if ((b & 0x80) == 0) break;
  }
  return t;
}

// Offset just past the element at `position`. Computed in 32 bits: a long length
// field can never move the walk backwards, so every walk ends.
std::uint32_t nextElement(const ByteArray& buffer, std::uint32_t position) {
  if (position + 1 > 0xFFFF) throwIndexOutOfBounds();
  return elementAt(buffer, static_cast<std::uint16_t>(position)).end();
}

}  // namespace

Element elementAt(const ByteArray& buffer, std::uint16_t at, bool emptyAllowed) {
  const auto lengthAt = static_cast<std::uint16_t>(at + 1);
  const LengthField field = readLengthField(buffer, lengthAt);
  if (field.first == 0x00 && !emptyAllowed) THROW_INVALID_ARGUMENTS("UtilTLV::decodeLengthField");
  return {static_cast<std::uint16_t>(lengthAt + field.size), field.length};
}

std::uint16_t decodeLengthField(const ByteArray& buffer, std::uint16_t offset) {
  const LengthField field = readLengthField(buffer, offset);
  if (field.first == 0x00) THROW_INVALID_ARGUMENTS("UtilTLV::decodeLengthField");
  return field.length;
}

std::uint16_t getLengthFieldLength(const ByteArray& buffer, std::uint16_t offset) { return fieldSize(buffer[offset]); }

std::uint16_t findTag(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length, std::uint8_t tag) {
  // The last position that can still be followed by a length byte is end - 1.
  const std::int32_t end = std::int32_t{offset} + std::int32_t{length} - 1;
  std::uint32_t position = offset;
  while (static_cast<std::int32_t>(position) < end) {
    if (buffer[position] == tag) return static_cast<std::uint16_t>(position);
    position = nextElement(buffer, position);
  }
  THROW_NOT_FOUND("UtilTLV::findTag");
}

bool isTLVConsistent(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  const std::int32_t end = std::int32_t{offset} + std::int32_t{length};
  std::uint32_t position = offset;
  try {
    while (static_cast<std::int32_t>(position) < end - 1) position = nextElement(buffer, position);
  } catch (const InvalidArgumentsException&) {
    return false;
  }
  return static_cast<std::int32_t>(position) == end;
}

std::uint16_t getCommandDataObjectSize(const ByteArray& buffer, std::uint16_t limit) {
  constexpr std::uint32_t kData = 5;
  const std::uint32_t t = tagSize(buffer, kData, kData + limit);
  if (1 + t > limit) return 0;
  const std::uint8_t first = buffer[kData + t];
  if (first > 0x82) return 0;  // no length field of more than two bytes here
  const std::uint32_t n = fieldSize(first) - 1u;
  if (n >= 1 && kData + 1 + t + n > limit) return 0;  // the length bytes must end inside the data
  const LengthField field = readLengthField(buffer, kData + t);
  const auto size = static_cast<std::uint16_t>(t + field.size + field.length);
  if (size >= 240) return size;  // a large object may arrive over a command chain
  return kData + size <= limit ? size : 0;
}

bool isTagEqual(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end, const ByteArray& tag) {
  if (buffer[offset] != tag[0]) return false;
  if (!isMultiByteTag(tag[0])) return true;
  std::uint32_t i = 1;
  std::uint32_t position = offset + 1u;
  while (position < end && buffer[position] == tag[i] && (tag[i] & 0x80) != 0) {
    ++i;
    ++position;
  }
  if (offset + i + 1 > end) return false;
  return buffer[offset + i] == tag[i];  // the last tag byte decides
}

std::uint16_t getValueLength(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end) {
  const LengthField field = readLengthField(buffer, offset + tagSize(buffer, offset, end));
  return field.first < 0x80 || field.size > 1 ? field.length : 0;
}

}  // namespace quillon::UtilTLV
