// How card objects put their fields into an archive: an element open for a
// scope, and a byte array with its length. The applet's files and crypto's keys
// write themselves with these.
#pragma once

#include "jc/IArchive.h"
#include "jc/JCArray.h"

namespace quillon {

// An element of the document, open for the life of the object.
class ScopedElement {
 public:
  ScopedElement(IArchive& archive, const char* name) : archive_(archive) { archive_.pushElem(name); }
  ~ScopedElement() { archive_.popElem(); }
  ScopedElement(const ScopedElement&) = delete;
  ScopedElement& operator=(const ScopedElement&) = delete;

 private:
  IArchive& archive_;
};

// An element named `name` with attribute len and, when len is not 0, rawData.
// Loading replaces the array with a new one from persistent memory.
void serializeJCByteArray(IArchive& archive, const char* name, ByteArray& array);

}  // namespace quillon
