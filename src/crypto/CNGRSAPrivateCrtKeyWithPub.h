// The RSA private key the card instantiates: CRT components plus a link to the
// public key of its pair (not owned), from which it builds the OpenSSL key that
// cipher operations run on; buildHandle() hands the caller its own reference.
// Holder: its key pair, or the caller of buildKey.
#pragma once

#include <cstdint>

#include "base/OpenSsl.h"
#include "crypto/CNGRSAPrivateCrtKey.h"

namespace quillon {

class CNGRSAPublicKey;

class CNGRSAPrivateCrtKeyWithPub final : public CNGRSAPrivateCrtKey {
 public:
  CNGRSAPrivateCrtKeyWithPub(IJCRuntime& runtime, std::uint16_t bits, CNGRSAPublicKey* publicKey) noexcept
      : CNGRSAPrivateCrtKey(runtime, bits), publicKey_(publicKey) {}
  ~CNGRSAPrivateCrtKeyWithPub() override = default;

  CNGRSAPublicKey* publicKey() const noexcept { return publicKey_; }
  void setPublicKey(CNGRSAPublicKey* publicKey) noexcept {
    publicKey_ = publicKey;
    cached_.reset();
  }

  // The OpenSSL key of n, e and the CRT components (each fitted to half the
  // modulus length, rounded up), or null when this key, its public key or the link is missing.
  // A failed OpenSSL call is traced and raises CryptoException PLATFORM_ERROR.
  // The key is kept between calls (OpenSSL's per-key set-up costs about twice a
  // signature) and dropped, its components cleared, as soon as a component, the
  // link or the public key changes.
  ossl::PkeyPtr buildHandle();

 protected:
  void componentsChanged() noexcept override { cached_.reset(); }

 private:
  ossl::PkeyPtr importKey();

  CNGRSAPublicKey* publicKey_;
  ossl::PkeyPtr cached_;  // freeing it clears its components
  std::uint64_t cachedRevision_ = 0;
};

}  // namespace quillon
