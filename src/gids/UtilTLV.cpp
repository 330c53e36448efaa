#include "gids/UtilTLV.h"

namespace quillon::UtilTLV {

namespace {

constexpr bool isMultiByteTag(std::uint8_t first) { return (first & 0x1F) == 0x1F; }

// Offset just past the element at `position`. Computed in 32 bits: a long length
// field can never move the walk backwards, so every walk ends.
std::uint32_t nextElement(const ByteArray& buffer, std::uint32_t position) {
  const auto lengthAt = static_cast<std::uint16_t>(position + 1);
  if (position + 1 > 0xFFFF) throwIndexOutOfBounds();
  return position + 1 + getLengthFieldLength(buffer, lengthAt) + decodeLengthField(buffer, lengthAt);
}

// Size of a tag whose first byte is at `first`: continuation bytes (bit 0x80 set)
// and the last byte count, stopping once the size reaches `limit`.
std::uint32_t tagSize(const ByteArray& buffer, std::uint32_t first, std::uint32_t limit) {
  std::uint32_t t = 1;
  if (!isMultiByteTag(buffer[first])) return t;
  while (t < limit) {
    const std::uint8_t b = buffer[first + t];
    ++t;
    if ((b & 0x80) == 0) break;
  }
  return t;
}

}  // namespace

std::uint16_t decodeLengthField(const ByteArray& buffer, std::uint16_t offset) {
  const std::uint8_t b = buffer[offset];
  if (b == 0x82) return static_cast<std::uint16_t>(buffer[offset + 1u] << 8 | buffer[offset + 2u]);
  if (b == 0x81) return buffer[offset + 1u];
  if (b == 0x00) THROW_INVALID_ARGUMENTS("UtilTLV::decodeLengthField");
  return b & 0x7F;
}

std::uint16_t getLengthFieldLength(const ByteArray& buffer, std::uint16_t offset) {
  const std::uint8_t b = buffer[offset];
  return b == 0x82 ? 3 : (b == 0x81 ? 2 : 1);
}

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
  const std::uint32_t t = tagSize(buffer, kData, limit);
  if (1 + t > limit) return 0;

  const std::uint8_t b = buffer[kData + t];
  std::uint32_t n = 0;
  std::uint32_t length = b;
  if (b >= 0x80) {
    n = b & 0x7F;
    if (1 + t + n > limit || n > 2) return 0;
    if (n >= 1 && 6 + t + n > limit) return 0;  // the length bytes must end inside the data
    if (n == 1) length = buffer[kData + t + 1];
    else if (n == 2) length = static_cast<std::uint32_t>(buffer[kData + t + 1] << 8 | buffer[kData + t + 2]);
    else length = 0;
  }
  const auto size = static_cast<std::uint16_t>(t + 1 + n + length);
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
  std::uint32_t t = 1;
  if (isMultiByteTag(buffer[offset])) {
    std::uint32_t position = offset + 1u;
    while (position < end) {
      const std::uint8_t b = buffer[position];
      ++t;
      ++position;
      if ((b & 0x80) == 0) break;
    }
  }
  const std::uint32_t at = offset + t;
  const std::uint8_t b = buffer[at];
  if (b < 0x80) return b;
  if ((b & 0x7F) == 1) return buffer[at + 1];
  if ((b & 0x7F) == 2) return static_cast<std::uint16_t>(buffer[at + 1] << 8 | buffer[at + 2]);
  return 0;
}

}  // namespace quillon::UtilTLV
