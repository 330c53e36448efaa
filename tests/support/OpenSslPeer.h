// The terminal's side of the card tests, done with OpenSSL directly and independent
// of the card's code: keys of its own, digests, verification, encryption, raw RSA
// and triple-DES. Keys returned are owned by the caller; a failing call fails the test.
#pragma once

#include <string>
#include <string_view>

#include "base/OpenSsl.h"
#include "support/TestData.h"

namespace quillon::test {

ossl::PkeyPtr generateRsa(int bits);
// The RSA public key of a big-endian modulus and exponent.
ossl::PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent);
// One component of a key, by its OSSL_PKEY_PARAM_RSA_* name.
Bytes rsaComponent(EVP_PKEY* key, const char* name);
// The private key as a DER RSAPrivateKey.
Bytes rsaPrivateKeyDer(EVP_PKEY* key);

// The DigestInfo of SHA-256 over `message`.
Bytes sha256DigestInfo(std::string_view message);
// PKCS #1 v1.5 verification of a signature over `hash`, made with digest `digest` ("SHA256", ...).
bool verifyHash(EVP_PKEY* key, const char* digest, const Bytes& hash, const Bytes& signature);
// PKCS #1 v1.5 type 1 padding of `data` to `size` bytes.
Bytes pkcs1Type1Pad(const Bytes& data, std::size_t size);
// Encryption with the public key: RSA_PKCS1_PADDING, RSA_PKCS1_OAEP_PADDING (SHA-1) or RSA_NO_PADDING.
Bytes rsaEncrypt(EVP_PKEY* key, const Bytes& plain, int padding);

// Triple-DES, CBC, zero IV, no padding.
Bytes tdesCbc(const Bytes& key, const Bytes& data, bool encrypt);

}  // namespace quillon::test
