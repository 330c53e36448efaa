// The RSA cipher on the fixed 2048-bit test key, with OpenSSL as the other side:
// signatures of each DigestInfo verify, the raw paths pad or not as they should,
// what OpenSSL encrypted deciphers, and no range or unusable key goes unnoticed.
#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "ProbeRuntime.h"
#include "crypto/CNGCipherFull.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

constexpr std::uint16_t kModulusBytes = 256;
constexpr auto kPlatformError = CryptoException::PLATFORM_ERROR;
constexpr auto kOut = SystemException::INDEX_OUT_OF_BOUNDS;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return b;
}

const Bytes kSha256Prefix = fromHex("3031300d060960864801650304020105000420");

// The card's key pair made from the test key as the applet's key import makes it
// (two keys from buildKey, then a pair that takes them), and a cipher per algorithm.
class RsaCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* pub = static_cast<RSAPublicKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, 2048, false));
    auto* priv = static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 2048, false));
    setComponents(pub, priv, v);
    pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPairFromKeys(pub, priv));
    ASSERT_NE(pair, nullptr);
    for (std::uint8_t alg : {Cipher::ALG_RSA_PKCS1, Cipher::ALG_RSA_OAEP, Cipher::ALG_RSA_NOPAD}) {
      ciphers[alg] = runtime.createCipher(alg);
      ciphers[alg]->init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
    }
  }
  void TearDown() override {
    for (const auto& [alg, c] : ciphers) destroyPersistent(runtime, c, JC_HERE("RsaCipherTest"));
    destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("RsaCipherTest"));
    EXPECT_EQ(runtime.persistentBlockCount(), 0u);
    runtime.expectKeyBlocksWiped();
  }

  void setComponents(RSAPublicKey* pub, RSAPrivateCrtKey* priv, const std::map<std::string, Bytes>& key) {
    auto set = [&](auto* k, auto setter, const char* name) {
      const ByteArray a = toArray(runtime, key.at(name));
      (k->*setter)(a, 0, a.length());
    };
    if (pub != nullptr) {
      set(pub, &RSAPublicKey::setModulus, "N");
      set(pub, &RSAPublicKey::setExponent, "E");
    }
    set(priv, &RSAPrivateCrtKey::setP, "P");
    set(priv, &RSAPrivateCrtKey::setQ, "Q");
    set(priv, &RSAPrivateCrtKey::setDP1, "DP1");
    set(priv, &RSAPrivateCrtKey::setDQ1, "DQ1");
    set(priv, &RSAPrivateCrtKey::setPQ, "PQ");
  }

  // doFinal over input into a fresh destination; the bytes written.
  Bytes run(std::uint8_t alg, const Bytes& input, std::uint16_t destinationLength = kModulusBytes) {
    const ByteArray source = toArray(runtime, input);
    ByteArray destination(destinationLength, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
    const std::uint16_t n = ciphers[alg]->doFinal(source, 0, source.length(), destination, 0);
    return toBytes(destination, 0, n);
  }
  void decipherWith(std::uint8_t alg) { ciphers[alg]->init(pair->getPrivate(), Cipher::MODE_DECRYPT); }

  ProbeRuntime runtime;
  const std::map<std::string, Bytes> v = readHexVectors("crypto/rsa2048.vec");
  const ossl::PkeyPtr publicKey = rsaPublicKey(v.at("N"), v.at("E"));
  CNGKeyPair* pair = nullptr;
  std::map<std::uint8_t, Cipher*> ciphers;
};

TEST_F(RsaCipherTest, SignsEachDigestInfoAndRawInputAsItShould) {
  const std::pair<const char*, const char*> prefixes[] = {
      {"SHA256", "3031300d060960864801650304020105000420"}, {"SHA1", "3021300906052b0e03021a05000414"},
      {"SHA384", "3041300d060960864801650304020205000430"}, {"SHA512", "3051300d060960864801650304020305000440"},
      {"MD5", "3020300c06082a864886f70d020505000410"},
  };
  for (const auto& [digest, prefix] : prefixes) {
    const Bytes p = fromHex(prefix);
    const Bytes hash = pattern(p.back(), p.back());
    for (std::uint8_t alg : {Cipher::ALG_RSA_PKCS1, Cipher::ALG_RSA_NOPAD}) {  // the padding plays no part
      const Bytes signature = run(alg, concat(p, hash));
      EXPECT_EQ(signature.size(), kModulusBytes) << digest;
      EXPECT_TRUE(verifyHash(publicKey.get(), digest, hash, signature)) << digest;
    }
  }

  // Raw input is signed inside a block of type 1; the shortest padding accepted is 00 01 FF 00.
  const Bytes input = pattern(20, 0x11);
  EXPECT_EQ(rsaPublicRaw(publicKey.get(), run(Cipher::ALG_RSA_PKCS1, input)), pkcs1Type1Pad(input, kModulusBytes));
  const Bytes longest = pattern(kModulusBytes - 4, 0x22);
  EXPECT_EQ(rsaPublicRaw(publicKey.get(), run(Cipher::ALG_RSA_OAEP, longest)),
            concat({0x00, 0x01, 0xFF, 0x00}, longest));
  TraceCapture capture;
  // Inputs too long for their padding are the caller's mistake, not the platform's.
  constexpr auto kIllegalUse = CryptoException::ILLEGAL_USE;
  expectReason([&] { run(Cipher::ALG_RSA_PKCS1, pattern(kModulusBytes - 3, 1)); }, kIllegalUse);
  EXPECT_EQ(capture.sink().count(" : dataOffset too small: 3"), 1u);
  // Only the unpadded cipher takes a whole block as it is.
  expectReason([&] { run(Cipher::ALG_RSA_PKCS1, pattern(kModulusBytes, 1)); }, kIllegalUse);
  expectReason([&] { run(Cipher::ALG_RSA_NOPAD, pattern(kModulusBytes - 3, 1)); }, kIllegalUse);
  expectReason([&] { run(Cipher::ALG_RSA_NOPAD, pattern(kModulusBytes + 1, 1), 300); }, kIllegalUse);
  // A DigestInfo whose hash is a byte short or long.
  for (const std::size_t size : {31, 33})
    expectReason([&] { run(Cipher::ALG_RSA_PKCS1, concat(kSha256Prefix, pattern(size, 0x40))); }, kIllegalUse);

  // The host padded it: a PKCS #1 v1.5 block of a SHA-256 DigestInfo.
  const Bytes hash = pattern(32, 0x40);
  const Bytes signature = run(Cipher::ALG_RSA_NOPAD, pkcs1Type1Pad(concat(kSha256Prefix, hash), kModulusBytes));
  EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", hash, signature));
  // Any block below the modulus comes back unchanged through the public key; one above it is refused.
  Bytes arbitrary = pattern(kModulusBytes, 0x99);
  arbitrary[0] = 0x1F;
  EXPECT_EQ(rsaPublicRaw(publicKey.get(), run(Cipher::ALG_RSA_NOPAD, arbitrary)), arbitrary);
  expectReason([&] { run(Cipher::ALG_RSA_NOPAD, Bytes(kModulusBytes, 0xFF)); }, kPlatformError);
}

TEST_F(RsaCipherTest, DecryptsWhatOpenSslEncryptedAndFailuresWriteNothing) {
  const Bytes secret = pattern(48, 0x5C);
  for (const auto& [alg, padding] :
       {std::pair{Cipher::ALG_RSA_PKCS1, RSA_PKCS1_PADDING}, std::pair{Cipher::ALG_RSA_OAEP, RSA_PKCS1_OAEP_PADDING}}) {
    decipherWith(alg);
    EXPECT_EQ(run(alg, rsaEncrypt(publicKey.get(), secret, padding)), secret) << int{alg};
  }
  Bytes block = pattern(kModulusBytes, 0x31);
  block[0] = 0x00;
  decipherWith(Cipher::ALG_RSA_NOPAD);
  EXPECT_EQ(run(Cipher::ALG_RSA_NOPAD, rsaEncrypt(publicKey.get(), block, RSA_NO_PADDING)), block);

  decipherWith(Cipher::ALG_RSA_PKCS1);
  const ByteArray source = toArray(runtime, rsaEncrypt(publicKey.get(), pattern(40, 3), RSA_PKCS1_PADDING));
  ByteArray destination(300, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
  Cipher& c = *ciphers[Cipher::ALG_RSA_PKCS1];
  // Room for 39 bytes at offset 261: too little for 40.
  expectReason([&] { c.doFinal(source, 0, source.length(), destination, 261); }, kPlatformError);
  expectReason([&] { c.doFinal(source, 1, 256, destination, 0); }, kOut);
  expectReason([&] { c.doFinal(source, 0xFFFF, 2, destination, 0); }, kOut);
  expectReason([&] { c.doFinal(source, 0, 256, destination, 301); }, kOut);
  // A block whose padding is wrong for the cipher.
  decipherWith(Cipher::ALG_RSA_OAEP);
  expectReason([&] { ciphers[Cipher::ALG_RSA_OAEP]->doFinal(source, 0, 256, destination, 0); }, kPlatformError);
  EXPECT_EQ(toBytes(destination), Bytes(300, 0));
  EXPECT_EQ(c.doFinal(source, 0, source.length(), destination, 260), 40);

  c.init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
  expectReason([&] { c.doFinal(source, 0, 20, destination, 45); }, kOut);
}

TEST_F(RsaCipherTest, UnusableKeysAndUnknownAlgorithmsGiveAnEmptyResultOrAnError) {
  const Bytes input = pattern(20, 0);
  Cipher& c = *ciphers[Cipher::ALG_RSA_PKCS1];
  c.init(nullptr, Cipher::MODE_ENCRYPT);
  EXPECT_TRUE(run(Cipher::ALG_RSA_PKCS1, input).empty());

  // A complete private key without its public key, then with one that lost its exponent.
  auto* lone =
      static_cast<CNGRSAPrivateCrtKeyWithPub*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 2048, false));
  setComponents(nullptr, lone, v);
  c.init(lone, Cipher::MODE_ENCRYPT);
  EXPECT_TRUE(run(Cipher::ALG_RSA_PKCS1, input).empty());
  lone->setPublicKey(pair->getPublic());
  EXPECT_EQ(run(Cipher::ALG_RSA_PKCS1, input).size(), kModulusBytes);
  pair->getPublic()->replaceExponent(ByteArray());
  EXPECT_TRUE(run(Cipher::ALG_RSA_PKCS1, input).empty());
  destroyPersistent(runtime, static_cast<Key*>(lone), JC_HERE("RsaCipherTest"));

  Key* des = runtime.buildKey(KeyBuilder::TYPE_DES, 192, false);
  static_cast<DESKey*>(des)->setKey(toArray(runtime, Bytes(24, 1)), 0);
  c.init(des, Cipher::MODE_ENCRYPT);
  expectReason([&] { run(Cipher::ALG_RSA_PKCS1, input); }, CryptoException::ILLEGAL_VALUE);
  destroyPersistent(runtime, des, JC_HERE("RsaCipherTest"));

  // An unknown algorithm makes a cipher that refuses to work.
  ciphers[7] = runtime.createCipher(7);
  ASSERT_NE(ciphers[7], nullptr);
  ByteArray buffer(16, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
  expectReason([&] { ciphers[7]->doFinal(buffer, 0, 16, buffer, 0); }, CryptoException::NO_SUCH_ALGORITHM);
  expectReason([&] { ciphers[7]->update(buffer, 0, 16, buffer, 0); }, CryptoException::NO_SUCH_ALGORITHM);
}

TEST_F(RsaCipherTest, ThePlatformKeyFollowsEveryChangeOfTheComponents) {
  const Bytes hash = pattern(32, 9);
  const Bytes info = concat(kSha256Prefix, hash);
  ASSERT_TRUE(verifyHash(publicKey.get(), "SHA256", hash, run(Cipher::ALG_RSA_PKCS1, info)));

  // Another key's private components while the public key is still the old one,
  // then the public key too: every signature is made with the components of the moment.
  const ossl::PkeyPtr other = generateRsa(2048);
  std::map<std::string, Bytes> components;
  const char* const names[] = {"N", "E", "P", "Q", "DP1", "DQ1", "PQ"};
  const char* const params[] = {OSSL_PKEY_PARAM_RSA_N,           OSSL_PKEY_PARAM_RSA_E,
                                OSSL_PKEY_PARAM_RSA_FACTOR1,     OSSL_PKEY_PARAM_RSA_FACTOR2,
                                OSSL_PKEY_PARAM_RSA_EXPONENT1,   OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  for (std::size_t i = 0; i < 7; ++i) components[names[i]] = rsaComponent(other.get(), params[i]);
  setComponents(nullptr, pair->getPrivate(), components);
  EXPECT_FALSE(verifyHash(publicKey.get(), "SHA256", hash, run(Cipher::ALG_RSA_PKCS1, info)));
  setComponents(pair->getPublic(), pair->getPrivate(), components);
  EXPECT_TRUE(verifyHash(other.get(), "SHA256", hash, run(Cipher::ALG_RSA_PKCS1, info)));
}

}  // namespace
}  // namespace quillon::test
