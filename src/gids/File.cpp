#include "gids/File.h"

#include "gids/GidsPINManager.h"
#include "gids/UtilTLV.h"
#include "jc/Exceptions.h"
#include "jc/ISO7816.h"

namespace quillon {

File::File(IJCRuntime& rt, std::uint16_t id, ByteArray template_) : runtime(rt), fileID(id), fcp(std::move(template_)) {
  computeSecAttrOffset();
}

void File::computeSecAttrOffset() {
  secAttrOffset = NO_SECURITY_ATTRIBUTES;
  if (fcp.length() < 2) return;
  try {
    secAttrOffset = UtilTLV::findTag(fcp, 2, fcp[1], 0x8C);
  } catch (...) {
    // No compact security attributes (or a malformed template): no access rule.
  }
}

void File::checkAccess(GidsPINManager& pinManager, std::uint8_t accessMode) {
  if (state == STATE_CREATION) {
    if (isApplicationFile()) return;  // the application in creation state: everything goes
    if (accessMode != AM_ACTIVATE) ISOException::throwIt(ISO7816::SW_CONDITIONS_NOT_SATISFIED);
  } else if (state == STATE_TERMINATION) {
    if (isApplicationFile() || accessMode != AM_DELETE) ISOException::throwIt(ISO7816::SW_FILE_TERMINATED);
  }

  // A file without compact security attributes has no rule that could allow
  // anything: it is refused rather than left open.
  if (secAttrOffset == NO_SECURITY_ATTRIBUTES) ISOException::throwIt(ISO7816::SW_SECURITY_STATUS_NOT_SATISFIED);

  std::uint32_t p = secAttrOffset + 2u;
  const std::uint8_t am = fcp[p];
  for (std::uint8_t bit = 0x40; bit != 0; bit >>= 1) {
    if ((am & bit) == 0) continue;
    ++p;
    if (bit == accessMode) {
      pinManager.CheckAccessCondition(fcp[p]);
      return;
    }
  }
  // The access mode is not named in the attributes: no condition applies.
}

}  // namespace quillon
