#include "container/DeviceKey.h"

#include <openssl/crypto.h>

#include "base/Trace.h"
#include "container/ContainerCrypto.h"

namespace quillon::container {

namespace {

constexpr std::size_t kKeyBytes = 32;

// The key-derivation secret. It is handed to HMAC in place, so no copy of it
// exists outside OpenSSL's context, which wipes its own.
constexpr std::uint8_t kDerivationSecret[32] = {0x6C, 0x1D, 0x93, 0xE0, 0x7A, 0x4F, 0xB2, 0x58, 0xD3, 0xE6, 0x0C,
                                                0x9F, 0x1A, 0x27, 0xB5, 0x4E, 0x8D, 0x0F, 0x3A, 0x61, 0xC9, 0x5E,
                                                0x27, 0xB4, 0xF0, 0x8D, 0x6A, 0x13, 0xE7, 0xC5, 0x9B, 0x20};

}  // namespace

bool BuildIdentityString(const platform::DeviceIdentity& identity, std::string& out) {
  out.clear();
  const std::string* const fields[] = {&identity.vendor, &identity.product, &identity.revision, &identity.serial};
  std::size_t total = 3;  // the colons
  for (const std::string* field : fields) {
    total += field->size();
    if (total > kMaxIdentityChars) return false;
  }
  out.reserve(total);
  for (const std::string* field : fields) {
    if (field != fields[0]) out.push_back(':');
    out.append(*field);
  }
  return true;
}

bool DeriveDeviceKey(const platform::DeviceIdentity& deviceIdentity, std::uint8_t key[32]) {
  constexpr const char* kFunction = "FilePersist::DeriveDeviceKey";
  OPENSSL_cleanse(key, kKeyBytes);
  std::string identity;
  if (!BuildIdentityString(deviceIdentity, identity)) {
    QTRACE(trace::kError, kFunction, "DeriveDeviceKey: BuildIdentityString overflow");
    return false;
  }
  if (!HmacSha256(kDerivationSecret, sizeof kDerivationSecret, reinterpret_cast<const std::uint8_t*>(identity.data()),
                  identity.size(), key)) {
    OPENSSL_cleanse(key, kKeyBytes);
    QTRACE(trace::kError, kFunction, "DeriveDeviceKey: HmacSha256 failed");
    return false;
  }
  return true;
}

}  // namespace quillon::container
