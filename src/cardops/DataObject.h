// The BER-TLV data objects of the card's answers, read on the host side: the
// card is not trusted, so every tag and length is checked against the bytes
// actually there.
#pragma once

#include <cstdint>
#include <span>

namespace quillon::cardops {

struct DataObject {
  std::uint32_t tag = 0;  // the tag bytes, big-endian: DF1F, 7F71, 97
  std::span<const std::uint8_t> value;
  std::size_t size = 0;  // tag, length field and value
};

// The data object at the start of `bytes`: a tag of at most three bytes, a length
// in the one-byte, 81 or 82 form, and the whole value inside `bytes`. False otherwise.
bool readDataObject(std::span<const std::uint8_t> bytes, DataObject& object);

// The first object tagged `tag` in a sequence of data objects; false when absent
// or when the sequence is malformed before it.
bool findDataObject(std::span<const std::uint8_t> bytes, std::uint32_t tag, DataObject& object);

}  // namespace quillon::cardops
