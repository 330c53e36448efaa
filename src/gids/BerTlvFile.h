// A data-object file: an EF holding a list of BER-TLV data objects, one Record
// each, in the order they were stored (at most 30). PUT DATA appends, overwrites
// in place, replaces or erases an object; GET DATA finds one by its tag.
#pragma once

#include <cstdint>

#include "gids/File.h"
#include "gids/Record.h"

namespace quillon {

class BerTlvFile final : public ElementaryFile {
 public:
  static constexpr std::uint8_t kMaxRecords = 30;

  BerTlvFile(IJCRuntime& runtime, std::uint16_t fileID, ByteArray fcp);
  ~BerTlvFile() override;

  void clearContents() override;
  void serialize(IArchive& archive) override;

  // Stores the object at offset 5 of the command buffer: `whole` is its total
  // size, `available` how many of its bytes this command carries. Returns the
  // record that now holds it, or null when an empty object erased its namesake.
  Record* addChildren(ByteArray& buffer, std::uint16_t whole, std::uint16_t available);
  void deleteChildren(std::uint8_t index);
  // The first record whose tag equals the tag at buffer[offset] (bounded by end).
  Record* getData(const ByteArray& buffer, std::uint16_t offset, std::uint16_t end);

  JCArray<Record*> children;
  std::uint8_t childCount = 0;

 private:
  Record* makeRecord(const ByteArray& buffer, std::uint16_t size, std::uint16_t copied);
  void releaseRecord(std::uint8_t index);
  void grow();
};

}  // namespace quillon
