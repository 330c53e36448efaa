#include "gids/ApplicationFile.h"

#include "jc/Util.h"

namespace quillon {

ApplicationFile::ApplicationFile(IJCRuntime& rt, std::uint16_t id, ByteArray fcpTemplate, ByteArray fciTemplate,
                                 ByteArray fmdTemplate)
    : DedicatedFile(rt, id, std::move(fcpTemplate)), fci(std::move(fciTemplate)), fmd(std::move(fmdTemplate)) {}

bool ApplicationFile::matchesDFName(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  std::uint16_t aid = 0, aidLength = 0;
  if (!findTemplateValue(fci, 0x4F, aid, aidLength) || aidLength < length) return false;
  try {
    for (std::uint32_t k = 0; k + length <= aidLength; ++k)
      if (Util::arrayCompare(buffer, offset, fci, aid + k, length) == 0) return true;
  } catch (const SystemException&) {
    // the identifier's stated length runs past the template
  }
  return false;
}

}  // namespace quillon
