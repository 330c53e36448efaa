// The card framework's cipher and random-data interfaces. A cipher signs and
// deciphers with an RSA private key, or enciphers and deciphers with a triple-DES
// key; each doFinal is one complete operation. The runtime's createCipher hands
// ciphers out (the caller destroys them); getRandomData lends the runtime's own
// generator, which callers never release.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon {

class Key;

class Cipher {
 public:
  static constexpr std::uint8_t ALG_RSA_PKCS1 = 3;
  static constexpr std::uint8_t ALG_DES_CBC_NOPAD = 6;
  static constexpr std::uint8_t ALG_RSA_OAEP = 8;
  static constexpr std::uint8_t ALG_RSA_NOPAD = 12;

  static constexpr std::uint8_t MODE_DECRYPT = 1;
  static constexpr std::uint8_t MODE_ENCRYPT = 2;

  virtual ~Cipher() = default;
  virtual void init(Key* key, std::uint8_t mode) = 0;
  // Bytes written to destination.
  virtual std::uint16_t doFinal(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                                ByteArray& destination, std::uint16_t destinationOffset) = 0;
  virtual std::uint16_t update(const ByteArray& source, std::uint16_t sourceOffset, std::uint16_t length,
                               ByteArray& destination, std::uint16_t destinationOffset) = 0;
};

class RandomData {
 public:
  virtual ~RandomData() = default;
  virtual void setSeed(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void generateData(ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
};

}  // namespace quillon
