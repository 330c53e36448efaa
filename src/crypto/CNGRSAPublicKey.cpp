#include "crypto/CNGRSAPublicKey.h"

#include <utility>

#include "crypto/CryptoInternal.h"

namespace quillon {

using crypto_internal::copyIn;
using crypto_internal::copyOut;

CNGRSAPublicKey::CNGRSAPublicKey(IJCRuntime& runtime, std::uint16_t bits) noexcept
    : size_(bits), runtime_(runtime), revision_(crypto_internal::nextRevision()) {}

void CNGRSAPublicKey::touch() noexcept {
  revision_ = crypto_internal::nextRevision();
  runtime_.noteStateChange();
}

void CNGRSAPublicKey::clearKey() {
  modulus_ = ByteArray();
  exponent_ = ByteArray();
  touch();
}

void CNGRSAPublicKey::setModulus(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  modulus_ = copyIn(runtime_, buffer, offset, length, JC_HERE("CNGRSAPublicKey::setModulus"));
  size_ = static_cast<std::uint16_t>(8u * length);
  touch();
}

void CNGRSAPublicKey::setExponent(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) {
  exponent_ = copyIn(runtime_, buffer, offset, length, JC_HERE("CNGRSAPublicKey::setExponent"));
  touch();
}

std::uint16_t CNGRSAPublicKey::getModulus(ByteArray& buffer, std::uint16_t offset) {
  return copyOut(modulus_, buffer, offset);
}

std::uint16_t CNGRSAPublicKey::getExponent(ByteArray& buffer, std::uint16_t offset) {
  return copyOut(exponent_, buffer, offset);
}

void CNGRSAPublicKey::replaceModulus(ByteArray&& value) noexcept {
  modulus_ = std::move(value);
  touch();
}

void CNGRSAPublicKey::replaceExponent(ByteArray&& value) noexcept {
  exponent_ = std::move(value);
  touch();
}

}  // namespace quillon
