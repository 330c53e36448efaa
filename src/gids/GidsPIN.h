// The card's user PIN: an OwnerPIN that also knows the PIN length limits the
// commands enforce and the length of the value last set.
#pragma once

#include "gids/OwnerPIN.h"

namespace quillon {

class GidsPIN final : public OwnerPIN {
 public:
  explicit GidsPIN(IJCRuntime& runtime) : OwnerPIN(runtime, 3, 16) {}

  std::uint8_t getTriesRemaining() override;
  void update(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length) override;
  // Marks the PIN as presented without comparing anything.
  void setAsAuthenticated();
  void serialize(IArchive& archive) override;

  std::uint8_t currentPINLen_ = 0;
  std::uint8_t minPINSize_ = 4;
  std::uint8_t maxPINSize_ = 16;
  std::uint8_t tryLimit_ = 3;  // the limit the PIN status query reports
};

}  // namespace quillon
