// The card framework's key interfaces: RSA public keys, RSA private keys in CRT
// form, triple-DES keys and RSA key pairs. Components are unsigned big-endian
// integers held in the runtime's persistent memory. The runtime's factories
// (buildKey, createKeyPair, createKeyPairFromKeys) hand them out; whoever asked
// destroys them with destroyPersistent.
#pragma once

#include <cstdint>

#include "jc/JCArray.h"

namespace quillon {

class IArchive;

// Key types of buildKey.
namespace KeyBuilder {
inline constexpr std::uint8_t TYPE_DES = 3;
inline constexpr std::uint8_t TYPE_RSA_PUBLIC = 4;
inline constexpr std::uint8_t TYPE_RSA_CRT_PRIVATE = 6;
}  // namespace KeyBuilder

class Key {
 public:
  virtual ~Key() = default;
  virtual std::uint16_t getSize() = 0;  // bits
  virtual bool isInitialized() = 0;
  virtual void clearKey() = 0;
};

class PublicKey : public Key {};

class RSAPublicKey : public PublicKey {
 public:
  virtual void setModulus(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setExponent(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual std::uint16_t getModulus(ByteArray& buffer, std::uint16_t offset) = 0;
  virtual std::uint16_t getExponent(ByteArray& buffer, std::uint16_t offset) = 0;
};

class PrivateKey : public Key {};

class RSAPrivateCrtKey : public PrivateKey {
 public:
  virtual void setP(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setDP1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setDQ1(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual void setPQ(const ByteArray& buffer, std::uint16_t offset, std::uint16_t length) = 0;
  virtual std::uint16_t getP(ByteArray& buffer, std::uint16_t offset) = 0;
  virtual std::uint16_t getQ(ByteArray& buffer, std::uint16_t offset) = 0;
};

class DESKey : public Key {
 public:
  virtual void setKey(const ByteArray& buffer, std::uint16_t offset) = 0;
  virtual std::uint16_t getKey(ByteArray& buffer, std::uint16_t offset) = 0;
};

class KeyPair {
 public:
  virtual ~KeyPair() = default;
  virtual void genKeyPair() = 0;
  virtual RSAPublicKey* getPublic() = 0;
  virtual RSAPrivateCrtKey* getPrivate() = 0;
  // Writes the pair into the state document (element KeyPair with its public key,
  // modulus and exponent, and private key, the five CRT components), or reads the
  // stored one into it, replacing its keys.
  virtual void serialize(IArchive& archive) = 0;
};

}  // namespace quillon
