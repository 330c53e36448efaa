// The device key (HMAC-SHA256) against the openssl command line, and the
// AES-256-GCM container layout (12-byte nonce, ciphertext, 16-byte tag) against a
// published vector, with every tampering refused.
#include <gtest/gtest.h>

#include <algorithm>

#include "base/Status.h"
#include "container/ContainerCrypto.h"
#include "container/DeviceKey.h"
#include "support/TestData.h"

namespace quillon::container {
namespace {

using test::Bytes;

const std::uint32_t kTagMismatch = status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH);

std::uint32_t decrypt(const Bytes& key, const Bytes& blob, Bytes& plain) {
  ossl::SecureBytes out{0xEE};
  const std::uint32_t hr = AesGcmDecrypt(key.data(), blob.data(), blob.size(), out);
  plain.assign(out.begin(), out.end());
  return hr;
}

TEST(AesGcm, DecryptsAPublishedVector) {
  const auto gcm = test::readHexVectors("container/aes-gcm.vec");
  Bytes plain;
  ASSERT_EQ(decrypt(gcm.at("Key"), gcm.at("Blob"), plain), 0u);
  EXPECT_EQ(plain, gcm.at("Plaintext"));
}

TEST(AesGcm, RoundTripsWithTwentyEightBytesOfOverheadAndRefusesAnyChange) {
  const Bytes key(32, 0x77);
  const auto encrypt = [&key](const Bytes& plain) {
    Bytes blob{0xEE};
    EXPECT_EQ(AesGcmEncrypt(key.data(), plain.data(), plain.size(), blob), 0u);
    return blob;
  };
  Bytes plain;
  const Bytes input(40, 0x40), blob = encrypt(input);  // nonce, ciphertext and tag: 68 bytes
  ASSERT_EQ(blob.size(), 68u);
  ASSERT_EQ(decrypt(key, blob, plain), 0u);
  EXPECT_EQ(plain, input);
  for (std::size_t bit = 0; bit < blob.size() * 8; ++bit) {
    Bytes changed = blob;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(decrypt(key, changed, plain), kTagMismatch) << "bit " << bit;
    ASSERT_TRUE(plain.empty()) << "bit " << bit;
  }
  // 27 bytes cannot hold nonce and tag; 28 are an empty plaintext, authenticated or not.
  EXPECT_EQ(decrypt(key, Bytes(27, 0x5A), plain), status::E_INVALIDARG);
  EXPECT_EQ(decrypt(key, Bytes(28, 0x5A), plain), kTagMismatch);
}

TEST(DeviceKey, EqualsHmacComputedByTheOpensslCommandLine) {
  const auto records = test::readVecFile("container/device-key.vec");
  ASSERT_EQ(records.size(), 4u);
  for (const auto& r : records) {
    SCOPED_TRACE(r.at("Vendor") + ":" + r.at("Product") + ":" + r.at("Revision") + ":" + r.at("Serial"));
    std::uint8_t key[32];
    ASSERT_TRUE(DeriveDeviceKey({r.at("Vendor"), r.at("Product"), r.at("Revision"), r.at("Serial")}, key));
    EXPECT_EQ(test::toHex(test::Bytes(key, key + 32)), r.at("Key"));
  }
}

TEST(DeviceKey, TwoHundredFiftyNineCharactersFitAndOneMoreDoesNot) {
  const std::string f(64, 'x'), g(65, 'x');
  std::string identity;
  ASSERT_TRUE(BuildIdentityString({f, f, f, f}, identity));
  EXPECT_EQ(identity.size(), 259u);
  for (int longer = 0; longer < 4; ++longer) {
    std::string fields[4] = {f, f, f, f};
    fields[longer] = g;
    identity = "stale";
    EXPECT_FALSE(BuildIdentityString({fields[0], fields[1], fields[2], fields[3]}, identity)) << longer;
    EXPECT_TRUE(identity.empty());
  }
  std::uint8_t key[32];
  std::fill(std::begin(key), std::end(key), 0xAA);
  EXPECT_FALSE(DeriveDeviceKey({f, f, f, g}, key));
  EXPECT_TRUE(std::all_of(std::begin(key), std::end(key), [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace quillon::container
