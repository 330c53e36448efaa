// An RSA key pair of the card: owns a public key and a private key tied to it,
// both in persistent blocks, and destroys them with itself. genKeyPair() fills
// both from a key OpenSSL generates. The pair itself lives in a persistent block
// and is destroyed by its holder (a key file).
#pragma once

#include <cstdint>

#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "jc/IJCRuntime.h"
#include "jc/Key.h"

namespace quillon {

class CNGKeyPair final : public KeyPair {
 public:
  // Two empty keys of bits; SystemException NO_RESOURCE when a block cannot be had.
  CNGKeyPair(IJCRuntime& runtime, std::uint16_t bits);
  // The pair of existing keys; takes ownership of both.
  CNGKeyPair(IJCRuntime& runtime, CNGRSAPublicKey* publicKey, CNGRSAPrivateCrtKeyWithPub* privateKey,
             std::uint16_t bits) noexcept
      : runtime_(runtime), public_(publicKey), private_(privateKey), size_(bits) {}
  ~CNGKeyPair() override;
  CNGKeyPair(const CNGKeyPair&) = delete;
  CNGKeyPair& operator=(const CNGKeyPair&) = delete;

  // A new key of the pair's size with exponent 65537. A failed OpenSSL call is
  // traced and raises CryptoException PLATFORM_ERROR; the keys are then unchanged.
  void genKeyPair() override;
  CNGRSAPublicKey* getPublic() override { return public_; }
  CNGRSAPrivateCrtKeyWithPub* getPrivate() override { return private_; }
  void serialize(IArchive& archive) override;

  // For the state document: the size, and replacing a key (the old one is destroyed,
  // the new one owned). A private key linked to the old public key is linked to the
  // new one; a new private key keeps the link it was made with.
  std::uint16_t size() const noexcept { return size_; }
  void setSize(std::uint16_t bits) noexcept {
    size_ = bits;
    runtime_.noteStateChange();
  }
  void replacePublic(CNGRSAPublicKey* publicKey) noexcept;
  void replacePrivate(CNGRSAPrivateCrtKeyWithPub* privateKey) noexcept;
  IJCRuntime& runtime() const noexcept { return runtime_; }

 private:
  IJCRuntime& runtime_;
  CNGRSAPublicKey* public_ = nullptr;
  CNGRSAPrivateCrtKeyWithPub* private_ = nullptr;
  std::uint16_t size_;
};

}  // namespace quillon
