#include "jc/ArchiveElement.h"

#include <cstdint>

#include "jc/IJCRuntime.h"

namespace quillon {

void serializeJCByteArray(IArchive& archive, const char* name, ByteArray& array) {
  ScopedElement element(archive, name);
  std::uint16_t len = array.length();
  archive.io("len", len);
  if (!archive.isStoring())
    array = ByteArray(len, archive.getRuntime().persistentMemory(), JC_HERE("serializeJCByteArray"));
  if (len > 0 && array.length() == len) archive.ioRaw(array.data(), len);
}

}  // namespace quillon
