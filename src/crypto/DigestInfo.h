// The DigestInfo prefixes (DER, PKCS #1) that the sign path recognises in front of
// a hash, with the name of the hash each stands for. Internal to this folder.
#pragma once

#include <cstdint>
#include <span>

namespace quillon::crypto_internal {

struct DigestInfoPrefix {
  const char* hashName;  // an OpenSSL digest name
  std::span<const std::uint8_t> prefix;
  // The OCTET STRING's length byte closes the prefix: the hash's size.
  std::size_t hashLength() const noexcept { return prefix.back(); }
};

// SHA-256, SHA-1, SHA-384, SHA-512, MD5: the order in which inputs are matched.
std::span<const DigestInfoPrefix> digestInfoPrefixes() noexcept;

// The first entry whose prefix begins input (and is not longer), or null.
const DigestInfoPrefix* matchDigestInfo(const std::uint8_t* input, std::size_t length) noexcept;

}  // namespace quillon::crypto_internal
