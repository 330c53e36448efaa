// The terminal's side of key operations, done with OpenSSL directly: keys of its
// own, padding, encryption, verification and triple-DES, independent of the card.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/OpenSsl.h"

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;

Bytes fromHex(const std::string& hex);
std::string toHex(const Bytes& bytes);

ossl::PkeyPtr generateRsa(int bits);
// The private key as a DER RSAPrivateKey.
Bytes rsaPrivateKeyDer(EVP_PKEY* key);
Bytes rsaModulus(EVP_PKEY* key);
// A public key from modulus and exponent (big-endian).
ossl::PkeyPtr rsaPublicKey(const Bytes& modulus, const Bytes& exponent);

// The DigestInfo of SHA-256 over `message`.
Bytes sha256DigestInfo(const std::string& message);
// PKCS #1 v1.5 type 1 padding of `data` to `size` bytes.
Bytes pkcs1Type1Pad(const Bytes& data, std::size_t size);
// Verifies a PKCS #1 v1.5 signature over a SHA-256 DigestInfo's digest.
bool verifySha256(EVP_PKEY* key, const std::string& message, const Bytes& signature);
// Raw public-key operation (no padding), as a verifier of a pre-padded block uses it.
Bytes rsaPublicRaw(EVP_PKEY* key, const Bytes& block);
// Encryption with the public key: padding RSA_PKCS1_PADDING or RSA_PKCS1_OAEP_PADDING (SHA-1).
Bytes rsaEncrypt(EVP_PKEY* key, const Bytes& plain, int padding);

// Triple-DES, CBC, zero IV, no padding.
Bytes tdesCbc(const Bytes& key, const Bytes& data, bool encrypt);

}  // namespace quillon::test
