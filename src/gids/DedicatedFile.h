// A DF: a file that holds other files (at most 30), searched depth-first by
// identifier or by DF name. The DF owns its children and destroys them with it.
#pragma once

#include <cstdint>

#include "gids/File.h"

namespace quillon {

// Search modes of findFile / findChildrenRec.
inline constexpr std::uint8_t FIND_EF = 1;
inline constexpr std::uint8_t FIND_DF = 2;
inline constexpr std::uint8_t FIND_ANY = 3;

class DedicatedFile : public File {
 public:
  static constexpr std::uint8_t kMaxChildren = 30;

  DedicatedFile(IJCRuntime& runtime, std::uint16_t fileID, ByteArray fcp);
  ~DedicatedFile() override;

  bool isDF() const override { return true; }
  void clearContents() override;
  void serialize(IArchive& archive) override;
  // True when `length` bytes of buffer from `offset` are this DF's name (tag 84).
  virtual bool matchesDFName(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length);

  // Throw NotFoundException when nothing matches.
  File* findChildrenRec(std::uint16_t fileID, std::uint8_t mode);
  DedicatedFile* findDedicatedFileByNameRec(const ByteArray& buffer, std::uint16_t length);

  // Appends a child (the caller sets its parent); NotFoundException when full.
  void addChildren(File* child);
  // Removes and destroys the child with this identifier; the last child takes its place.
  void deleteChildren(std::uint16_t fileID);

  JCArray<File*> children;
  std::uint8_t childCount = 0;

 protected:
  // fileID, state, childCount, fcp and the children: what every DF writes.
  void serializeContent(IArchive& archive);
  // Offset of the value of the `tag` element in a template (tag, one-byte length,
  // then TLVs) and its decoded length; false when absent or malformed.
  static bool findTemplateValue(const ByteArray& tmpl, std::uint8_t tag, std::uint16_t& value, std::uint16_t& length);
  void destroyChild(std::uint8_t index, const SourceLocation& where);
};

}  // namespace quillon
