// SHA-256, HMAC-SHA256 and the AES-256-GCM container layout.
#include <gtest/gtest.h>

#include "MszipSamples.h"
#include "TestData.h"
#include "base/Hex.h"
#include "base/Status.h"
#include "container/ContainerCrypto.h"
#include "support/CapturingSink.h"

namespace quillon::container {
namespace {

using test::Bytes;

constexpr std::uint32_t kTagMismatch = 0xD000A002;  // STATUS_AUTH_TAG_MISMATCH | 0x10000000

TEST(Sha256, KnownAnswers) {
  std::uint8_t digest[32];
  const std::string abc = "abc";
  ASSERT_TRUE(Sha256(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size(), digest));
  EXPECT_EQ(hex::encode(digest), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
  ASSERT_TRUE(Sha256(nullptr, 0, digest));
  EXPECT_EQ(hex::encode(digest), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
}

TEST(Sha256, NullDataWithALengthFailsWithItsTrace) {
  test::TraceCapture capture;
  std::uint8_t digest[32];
  EXPECT_FALSE(Sha256(nullptr, 5, digest));
  EXPECT_EQ(capture.sink().count("Sha256: BCryptHashData failed"), 1u);
}

TEST(HmacSha256, MatchesTheRfc4231Vector) {
  const auto records = test::readVecFile("hmac-sha256.vec");
  ASSERT_EQ(records.size(), 1u);
  const Bytes secret = test::fromHex(records[0].at("Secret"));
  const Bytes data = test::fromHex(records[0].at("Data"));
  std::uint8_t mac[32];
  ASSERT_TRUE(HmacSha256(secret.data(), secret.size(), data.data(), data.size(), mac));
  EXPECT_EQ(hex::encode(mac), records[0].at("Mac"));
}

Bytes encrypt(const Bytes& key, const Bytes& plain) {
  std::vector<std::uint8_t> blob{0xEE};
  EXPECT_EQ(AesGcmEncrypt(key.data(), plain.data(), plain.size(), blob), 0u);
  return blob;
}

std::uint32_t decrypt(const Bytes& key, const Bytes& blob, Bytes& plain) {
  ossl::SecureBytes out{0xEE};
  const std::uint32_t hr = AesGcmDecrypt(key.data(), blob.data(), blob.size(), out);
  plain.assign(out.begin(), out.end());
  return hr;
}

class AesGcm : public ::testing::Test {
 protected:
  Bytes key_ = test::randomBytes(32, 77);
};

TEST_F(AesGcm, KnownAnswerInTheContainerLayout) {
  const auto records = test::readVecFile("aes-gcm.vec");
  ASSERT_EQ(records.size(), 1u);
  const Bytes key = test::fromHex(records[0].at("Key"));
  Bytes plain;
  ASSERT_EQ(decrypt(key, test::fromHex(records[0].at("Blob")), plain), 0u);
  EXPECT_EQ(plain, test::fromHex(records[0].at("Plaintext")));
}

TEST_F(AesGcm, RoundTripsWithTwentyEightBytesOfOverhead) {
  for (const std::size_t size : {0u, 1u, 16u, 1000u, 100000u}) {
    const Bytes plain = test::randomBytes(size, static_cast<unsigned>(size));
    const Bytes blob = encrypt(key_, plain);
    ASSERT_EQ(blob.size(), size + 28);
    Bytes back;
    ASSERT_EQ(decrypt(key_, blob, back), 0u) << size;
    EXPECT_EQ(back, plain);
  }
}

TEST_F(AesGcm, EveryEncryptionTakesANewNonce) {
  const Bytes plain = test::xmlLikeText(200);
  const Bytes a = encrypt(key_, plain);
  const Bytes b = encrypt(key_, plain);
  ASSERT_EQ(a.size(), b.size());
  EXPECT_NE(Bytes(a.begin(), a.begin() + 12), Bytes(b.begin(), b.begin() + 12));
  EXPECT_NE(a, b);
}

TEST_F(AesGcm, AnyFlippedBitIsRefused) {
  const Bytes blob = encrypt(key_, test::xmlLikeText(40));  // nonce, ciphertext and tag: 68 bytes
  for (std::size_t bit = 0; bit < blob.size() * 8; ++bit) {
    Bytes changed = blob;
    changed[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    Bytes plain;
    ASSERT_EQ(decrypt(key_, changed, plain), kTagMismatch) << "bit " << bit;
    ASSERT_TRUE(plain.empty()) << "bit " << bit;
  }
}

TEST_F(AesGcm, WrongKeyIsRefusedAndTraced) {
  const Bytes blob = encrypt(key_, test::xmlLikeText(500));
  Bytes other = key_;
  other[31] ^= 0x01;
  test::TraceCapture capture;
  Bytes plain;
  EXPECT_EQ(decrypt(other, blob, plain), kTagMismatch);
  EXPECT_EQ(kTagMismatch, status::hresultFromNt(status::STATUS_AUTH_TAG_MISMATCH));
  EXPECT_TRUE(plain.empty());
  EXPECT_EQ(capture.sink().count("AesGcmDecrypt: BCryptDecrypt st=0xC000A002"), 1u);
}

TEST_F(AesGcm, BlobShorterThanNonceAndTagIsRefusedBeforeDecryption) {
  test::TraceCapture capture;
  Bytes plain;
  EXPECT_EQ(decrypt(key_, Bytes(27, 0x5A), plain), status::E_INVALIDARG);
  EXPECT_TRUE(plain.empty());
  const auto lines = capture.sink().lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, trace::kError);
  EXPECT_NE(lines[0].text.find("AesGcmDecrypt: blob too small (27 bytes)"), std::string::npos);

  // 28 bytes is an empty plaintext: authenticated, or refused on its tag.
  const Bytes empty = encrypt(key_, {});
  ASSERT_EQ(empty.size(), 28u);
  EXPECT_EQ(decrypt(key_, empty, plain), 0u);
  EXPECT_TRUE(plain.empty());
  EXPECT_EQ(decrypt(key_, Bytes(28, 0x5A), plain), kTagMismatch);
}

}  // namespace
}  // namespace quillon::container
