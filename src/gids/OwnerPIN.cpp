#include "gids/OwnerPIN.h"

#include <openssl/crypto.h>

#include "jc/Exceptions.h"

namespace quillon {

OwnerPIN::OwnerPIN(IJCRuntime& runtime, std::uint8_t tryLimit, std::uint8_t maxSize)
    : tryLimit_(tryLimit), maxSize_(maxSize), triesRemaining_(tryLimit), runtime_(runtime) {}

void OwnerPIN::setTries(std::uint8_t tries) noexcept {
  if (tries == triesRemaining_) return;
  triesRemaining_ = tries;
  runtime_.noteStateChange();
}

OwnerPIN::~OwnerPIN() { OPENSSL_cleanse(value, sizeof value); }

bool OwnerPIN::check(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length) {
  if (triesRemaining_ == 0) return false;
  if (!initialized_) {
    setTries(static_cast<std::uint8_t>(triesRemaining_ - 1));
    return false;
  }
  buffer.checkRange(offset, length);
  // The length is compared first; the bytes in constant time.
  if (length == pinLen_ && CRYPTO_memcmp(buffer.data() + offset, value, length) == 0) {
    setTries(tryLimit_);
    validated = true;
    return true;
  }
  setTries(static_cast<std::uint8_t>(triesRemaining_ - 1));
  validated = false;
  return false;
}

void OwnerPIN::resetAndUnblock() {
  setTries(tryLimit_);
  validated = false;
}

void OwnerPIN::update(const ByteArray& buffer, std::uint16_t offset, std::uint8_t length) {
  if (length > maxSize_ || length > kValueSize) return;
  buffer.checkRange(offset, length);
  OPENSSL_cleanse(value, sizeof value);
  for (std::uint8_t i = 0; i < length; ++i) value[i] = buffer.data()[offset + i];
  pinLen_ = length;
  initialized_ = true;
  runtime_.noteStateChange();
}

}  // namespace quillon
