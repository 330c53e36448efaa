// The container's cryptography on OpenSSL: SHA-256 of the state document,
// HMAC-SHA256 for the device key, and AES-256-GCM of the compressed payload laid
// out as a 12-byte nonce, the ciphertext and a 16-byte tag. Output buffers are
// the caller's; decrypted bytes go into a buffer that wipes itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/OpenSsl.h"

namespace quillon::container {

inline constexpr std::size_t kGcmNonceBytes = 12;
inline constexpr std::size_t kGcmTagBytes = 16;
inline constexpr std::size_t kGcmOverhead = kGcmNonceBytes + kGcmTagBytes;

bool Sha256(const std::uint8_t* data, std::size_t size, std::uint8_t digest[32]);

// HMAC-SHA256 of data under secret; out is wiped when the result is false.
bool HmacSha256(const std::uint8_t* secret, std::size_t secretLength, const std::uint8_t* data, std::size_t dataLength,
                std::uint8_t out[32]);

// Encrypts under a fresh random nonce; out receives size + 28 bytes. Returns an
// HRESULT (0 on success), the failures as NTSTATUS | 0x10000000.
std::uint32_t AesGcmEncrypt(const std::uint8_t key[32], const std::uint8_t* data, std::size_t size,
                            std::vector<std::uint8_t>& out);

// Decrypts and authenticates a blob made by AesGcmEncrypt; out receives the
// plaintext, or stays empty when the blob is refused (0x80070057 under 28 bytes,
// STATUS_AUTH_TAG_MISMATCH | 0x10000000 for a wrong key or a changed blob).
std::uint32_t AesGcmDecrypt(const std::uint8_t key[32], const std::uint8_t* blob, std::size_t blobSize,
                            ossl::SecureBytes& out);

}  // namespace quillon::container
