// The card's cipher: RSA decryption and signing with a private CRT key, and
// triple-DES CBC with a zero IV, each doFinal one complete OpenSSL operation on a
// key built for it. The object lives in a persistent block; the caller of
// createCipher destroys it. The key given to init is not owned.
#pragma once

#include <cstdint>

#include "jc/Cipher.h"

namespace quillon {

class CNGCipherFull final : public Cipher {
 public:
  explicit CNGCipherFull(std::uint8_t algorithm) noexcept : algorithm_(algorithm) {}
  ~CNGCipherFull() override = default;
  CNGCipherFull(const CNGCipherFull&) = delete;
  CNGCipherFull& operator=(const CNGCipherFull&) = delete;

  void init(Key* key, std::uint8_t mode) override {
    key_ = key;
    mode_ = mode;
  }
  // Bytes written; 0 without a usable key. CryptoException NO_SUCH_ALGORITHM for an
  // unknown algorithm, ILLEGAL_VALUE for a key of the wrong kind, PLATFORM_ERROR
  // when OpenSSL fails; SystemException 0x6700 for a range outside its array.
  std::uint16_t doFinal(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                        ByteArray& destination, std::uint16_t destinationOffset) override;
  std::uint16_t update(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                       ByteArray& destination, std::uint16_t destinationOffset) override {
    return doFinal(source, sourceOffset, length, destination, destinationOffset);
  }

  std::uint8_t algorithm() const noexcept { return algorithm_; }
  Key* key() const noexcept { return key_; }
  std::uint8_t mode() const noexcept { return mode_; }

 private:
  std::uint16_t doDES(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length, ByteArray& destination,
                      std::uint16_t destinationOffset);
  std::uint16_t doRSA(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length, ByteArray& destination,
                      std::uint16_t destinationOffset);

  std::uint8_t algorithm_;
  Key* key_ = nullptr;
  std::uint8_t mode_ = 0;
};

}  // namespace quillon
