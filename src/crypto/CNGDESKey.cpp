#include "crypto/CNGDESKey.h"

#include <openssl/crypto.h>

#include <cstring>

#include "jc/JCArray.h"

namespace quillon {

CNGDESKey::~CNGDESKey() { OPENSSL_cleanse(key_.data(), key_.size()); }

void CNGDESKey::clearKey() {
  OPENSSL_cleanse(key_.data(), key_.size());
  initialized_ = false;
}

void CNGDESKey::setKey(const ByteArray& buffer, std::uint16_t offset) {
  buffer.checkRange(offset, kKeyLength);
  std::memcpy(key_.data(), buffer.data() + offset, kKeyLength);
  initialized_ = true;
}

std::uint16_t CNGDESKey::getKey(ByteArray& buffer, std::uint16_t offset) {
  if (!initialized_) return 0;
  buffer.checkRange(offset, kKeyLength);
  std::memcpy(buffer.data() + offset, key_.data(), kKeyLength);
  return kKeyLength;
}

}  // namespace quillon
