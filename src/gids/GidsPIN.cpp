#include "gids/GidsPIN.h"

#include "base/Trace.h"

namespace quillon {

std::uint8_t GidsPIN::getTriesRemaining() {
  QTRACE(trace::kInformation, "GidsPIN::getTriesRemaining", "getTriesRemaining %d", triesRemaining_);
  return OwnerPIN::getTriesRemaining();
}

void GidsPIN::update(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length) {
  QTRACE(trace::kInformation, "GidsPIN::update", "PIN update");
  OwnerPIN::update(buffer, offset, length);
  if (currentPINLen_ != length) runtime_.noteStateChange();
  currentPINLen_ = length;
}

void GidsPIN::setAsAuthenticated() {
  QTRACE(trace::kInformation, "GidsPIN::setAsAuthenticated", "PIN setAsAuthenticated");
  validated = true;
}

}  // namespace quillon
