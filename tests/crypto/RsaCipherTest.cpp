#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "CryptoTestSupport.h"
#include "crypto/CNGCipherFull.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using test::Bytes;
using test::expectReason;
using test::toArray;
using test::toBytes;

constexpr std::uint16_t kModulusBytes = 256;

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes pattern(std::size_t length, std::uint8_t seed) {
  Bytes b(length);
  for (std::size_t i = 0; i < length; ++i) b[i] = static_cast<std::uint8_t>(seed + 7 * i);
  return b;
}

// The card's RSA key made from the fixed test key as the applet's key import makes
// it (two keys from buildKey, then a pair that takes them), and ciphers on it.
class RsaCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pair = makePair(v);
    for (std::uint8_t alg : {Cipher::ALG_RSA_PKCS1, Cipher::ALG_RSA_OAEP, Cipher::ALG_RSA_NOPAD}) {
      Cipher* c = runtime.createCipher(alg);
      ASSERT_NE(c, nullptr);
      c->init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
      ciphers.push_back(c);
    }
  }

  void TearDown() override {
    for (Cipher* c : ciphers) destroyPersistent(runtime, c, JC_HERE("RsaCipherTest"));
    destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("RsaCipherTest"));
    EXPECT_EQ(runtime.persistentBlockCount(), 0u);
    for (const auto& f : runtime.unwipedFrees())
      EXPECT_TRUE(f.rfind("CNGRSAPrivateCrtKey::", 0) != 0 && f != "normalizeBytes") << f;
  }

  CNGKeyPair* makePair(const test::Vectors& key) {
    auto* pub = static_cast<RSAPublicKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, 2048, false));
    auto* priv = static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 2048, false));
    auto set = [&](auto setter, auto* k, const char* name) {
      const ByteArray a = toArray(runtime, key.at(name));
      (k->*setter)(a, 0, a.length());
    };
    set(&RSAPublicKey::setModulus, pub, "N");
    set(&RSAPublicKey::setExponent, pub, "E");
    set(&RSAPrivateCrtKey::setP, priv, "P");
    set(&RSAPrivateCrtKey::setQ, priv, "Q");
    set(&RSAPrivateCrtKey::setDP1, priv, "DP1");
    set(&RSAPrivateCrtKey::setDQ1, priv, "DQ1");
    set(&RSAPrivateCrtKey::setPQ, priv, "PQ");
    return dynamic_cast<CNGKeyPair*>(runtime.createKeyPairFromKeys(pub, priv));
  }

  Cipher& cipher(std::uint8_t alg) {
    return *ciphers[alg == Cipher::ALG_RSA_PKCS1 ? 0 : alg == Cipher::ALG_RSA_OAEP ? 1 : 2];
  }

  // doFinal over input into a fresh destination; the bytes written.
  Bytes run(Cipher& c, const Bytes& input, std::uint16_t destinationLength = kModulusBytes) {
    const ByteArray source = toArray(runtime, input);
    ByteArray destination(destinationLength, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
    const std::uint16_t n = c.doFinal(source, 0, source.length(), destination, 0);
    return toBytes(destination, 0, n);
  }

  test::ProbeRuntime runtime;
  const test::Vectors v = test::loadVectors("rsa2048.vec");
  const ossl::PkeyPtr reference = test::privateKeyOf(v);
  const ossl::PkeyPtr publicKey = test::publicKeyOf(v.at("N"), v.at("E"));
  CNGKeyPair* pair = nullptr;
  std::vector<Cipher*> ciphers;
};

TEST_F(RsaCipherTest, SignsEachDigestInfoWithItsHash) {
  test::TraceCapture capture;
  struct Case {
    const char* digest;
    Bytes prefix;
    std::size_t hashLength;
  };
  const Case cases[] = {
      {"SHA256",
       {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04,
        0x20},
       32},
      {"SHA1", {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}, 20},
      {"SHA384",
       {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04,
        0x30},
       48},
      {"SHA512",
       {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04,
        0x40},
       64},
      {"MD5",
       {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10},
       16},
  };
  for (const Case& c : cases) {
    const Bytes hash = pattern(c.hashLength, static_cast<std::uint8_t>(c.hashLength));
    for (std::uint8_t alg : {Cipher::ALG_RSA_PKCS1, Cipher::ALG_RSA_NOPAD}) {  // the padding plays no part
      const Bytes signature = run(cipher(alg), concat(c.prefix, hash));
      ASSERT_EQ(signature.size(), kModulusBytes) << c.digest;
      EXPECT_TRUE(test::opensslVerify(publicKey.get(), c.digest, hash, signature)) << c.digest;
      EXPECT_EQ(signature, test::opensslSign(reference.get(), c.digest, hash)) << c.digest;
    }
  }
  EXPECT_GE(capture.sink().count("CNGCipherFull::doFinal("), 10u);
  EXPECT_GE(capture.sink().count("CNGCipherFull::doRSA("), 10u);
}

TEST_F(RsaCipherTest, SignsARawInputInsideABlockOfTypeOne) {
  const Bytes input = pattern(20, 0x11);
  const Bytes signature = run(cipher(Cipher::ALG_RSA_PKCS1), input);
  ASSERT_EQ(signature.size(), kModulusBytes);
  Bytes expected = {0x00, 0x01};
  expected.insert(expected.end(), 233, 0xFF);
  expected.push_back(0x00);
  expected = concat(expected, input);
  EXPECT_EQ(test::publicOperation(publicKey.get(), signature), expected);

  // The shortest padding that is accepted: 00 01 FF 00.
  const Bytes longest = pattern(kModulusBytes - 4, 0x22);
  EXPECT_EQ(test::publicOperation(publicKey.get(), run(cipher(Cipher::ALG_RSA_OAEP), longest)),
            concat({0x00, 0x01, 0xFF, 0x00}, longest));
}

TEST_F(RsaCipherTest, RawInputWithoutRoomForPaddingFails) {
  test::TraceCapture capture;
  expectReason([&] { run(cipher(Cipher::ALG_RSA_PKCS1), pattern(kModulusBytes - 3, 1)); },
               CryptoException::PLATFORM_ERROR);
  std::size_t found = 0;
  for (const auto& line : capture.sink().lines()) {
    if (line.text.find(": dataOffset too small: 3") == std::string::npos) continue;
    ++found;
    EXPECT_EQ(line.level, trace::kCritical);
    EXPECT_EQ(line.text.rfind("CNGCipherFull::doRSA(", 0), 0u) << line.text;
  }
  EXPECT_EQ(found, 1u);

  // Only the unpadded cipher takes a whole block as it is.
  expectReason([&] { run(cipher(Cipher::ALG_RSA_PKCS1), pattern(kModulusBytes, 1)); }, CryptoException::PLATFORM_ERROR);
  EXPECT_EQ(capture.sink().count("dataOffset too small: 0"), 1u);
  expectReason([&] { run(cipher(Cipher::ALG_RSA_NOPAD), pattern(kModulusBytes - 3, 1)); },
               CryptoException::PLATFORM_ERROR);
  expectReason([&] { run(cipher(Cipher::ALG_RSA_NOPAD), pattern(kModulusBytes + 1, 1), 300); },
               CryptoException::PLATFORM_ERROR);
}

TEST_F(RsaCipherTest, UnpaddedCipherSignsAWholeBlockAsItIs) {
  // The host padded it: a PKCS #1 v1.5 block of a SHA-256 DigestInfo.
  const Bytes hash = pattern(32, 0x40);
  const Bytes digestInfo = concat({0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02,
                                   0x01, 0x05, 0x00, 0x04, 0x20},
                                  hash);
  Bytes block = {0x00, 0x01};
  block.insert(block.end(), kModulusBytes - 3 - digestInfo.size(), 0xFF);
  block.push_back(0x00);
  block = concat(block, digestInfo);
  const Bytes signature = run(cipher(Cipher::ALG_RSA_NOPAD), block);
  EXPECT_TRUE(test::opensslVerify(publicKey.get(), "SHA256", hash, signature));

  // Any block below the modulus comes back unchanged through the public key.
  Bytes arbitrary = pattern(kModulusBytes, 0x99);
  arbitrary[0] = 0x1F;
  EXPECT_EQ(test::publicOperation(publicKey.get(), run(cipher(Cipher::ALG_RSA_NOPAD), arbitrary)), arbitrary);

  // A block above the modulus is refused by OpenSSL.
  test::TraceCapture capture;
  expectReason([&] { run(cipher(Cipher::ALG_RSA_NOPAD), Bytes(kModulusBytes, 0xFF)); },
               CryptoException::PLATFORM_ERROR);
  EXPECT_GE(capture.sink().count("EVP_PKEY_decrypt (raw sign) failed"), 1u);
}

TEST_F(RsaCipherTest, DecryptsWhatOpenSslEncrypted) {
  const Bytes secret = pattern(48, 0x5C);
  struct Case {
    std::uint8_t alg;
    int padding;
  };
  for (const Case c :
       {Case{Cipher::ALG_RSA_PKCS1, RSA_PKCS1_PADDING}, Case{Cipher::ALG_RSA_OAEP, RSA_PKCS1_OAEP_PADDING}}) {
    cipher(c.alg).init(pair->getPrivate(), Cipher::MODE_DECRYPT);
    EXPECT_EQ(run(cipher(c.alg), test::opensslEncrypt(publicKey.get(), c.padding, secret)), secret) << int{c.alg};
  }
  Bytes block = pattern(kModulusBytes, 0x31);
  block[0] = 0x00;
  cipher(Cipher::ALG_RSA_NOPAD).init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  EXPECT_EQ(run(cipher(Cipher::ALG_RSA_NOPAD), test::opensslEncrypt(publicKey.get(), RSA_NO_PADDING, block)), block);
}

TEST_F(RsaCipherTest, DecryptionFailuresWriteNothing) {
  test::TraceCapture capture;
  Cipher& pkcs1 = cipher(Cipher::ALG_RSA_PKCS1);
  pkcs1.init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  const Bytes ciphertext = test::opensslEncrypt(publicKey.get(), RSA_PKCS1_PADDING, pattern(40, 3));

  // Room for 39 bytes at offset 5 of 44: too little for 40.
  const ByteArray source = toArray(runtime, ciphertext);
  ByteArray destination(44, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
  expectReason([&] { pkcs1.doFinal(source, 0, source.length(), destination, 5); }, CryptoException::PLATFORM_ERROR);
  EXPECT_EQ(toBytes(destination), Bytes(44, 0));
  EXPECT_EQ(pkcs1.doFinal(source, 0, source.length(), destination, 4), 40);
  EXPECT_EQ(toBytes(destination, 4, 40), pattern(40, 3));

  // A block whose padding is wrong for the cipher.
  cipher(Cipher::ALG_RSA_OAEP).init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  expectReason([&] { run(cipher(Cipher::ALG_RSA_OAEP), ciphertext); }, CryptoException::PLATFORM_ERROR);
  EXPECT_GE(capture.sink().count("EVP_PKEY_decrypt failed"), 1u);
}

TEST_F(RsaCipherTest, RangesOutsideTheArraysRaiseIndexOutOfBounds) {
  const ByteArray source = toArray(runtime, pattern(51, 0));
  ByteArray destination(300, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
  Cipher& c = cipher(Cipher::ALG_RSA_PKCS1);
  expectReason([&] { c.doFinal(source, 1, 51, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { c.doFinal(source, 0xFFFF, 2, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { c.doFinal(source, 0, 20, destination, 45); }, SystemException::INDEX_OUT_OF_BOUNDS);
  EXPECT_EQ(toBytes(destination), Bytes(300, 0));
  EXPECT_EQ(c.doFinal(source, 0, 20, destination, 44), kModulusBytes);

  c.init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  expectReason([&] { c.doFinal(source, 0, 20, destination, 301); }, SystemException::INDEX_OUT_OF_BOUNDS);
}

TEST_F(RsaCipherTest, UnusableKeysGiveAnEmptyResult) {
  Cipher& c = cipher(Cipher::ALG_RSA_PKCS1);
  const Bytes input = pattern(20, 0);
  c.init(nullptr, Cipher::MODE_ENCRYPT);
  EXPECT_TRUE(run(c, input).empty());

  // A private key without its public key.
  auto* lone =
      static_cast<CNGRSAPrivateCrtKeyWithPub*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 2048, false));
  {
    const ByteArray component = toArray(runtime, v.at("P"));
    lone->setP(component, 0, component.length());
    lone->setQ(component, 0, component.length());
    lone->setDP1(component, 0, component.length());
    lone->setDQ1(component, 0, component.length());
    lone->setPQ(component, 0, component.length());
  }
  ASSERT_TRUE(lone->isInitialized());
  c.init(lone, Cipher::MODE_ENCRYPT);
  EXPECT_TRUE(run(c, input).empty());
  // ... or with one that has no exponent.
  lone->setPublicKey(pair->getPublic());
  EXPECT_EQ(run(c, input).size(), kModulusBytes);
  pair->getPublic()->replaceExponent(ByteArray());
  EXPECT_TRUE(run(c, input).empty());
  destroyPersistent(runtime, static_cast<Key*>(lone), JC_HERE("RsaCipherTest"));

  // An incomplete private key.
  pair->getPrivate()->clearKey();
  c.init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
  EXPECT_TRUE(run(c, input).empty());

  // A key of the wrong kind.
  Key* des = runtime.buildKey(KeyBuilder::TYPE_DES, 192, false);
  {
    const ByteArray bytes = toArray(runtime, Bytes(24, 1));
    static_cast<DESKey*>(des)->setKey(bytes, 0);
  }
  c.init(des, Cipher::MODE_ENCRYPT);
  expectReason([&] { run(c, input); }, CryptoException::ILLEGAL_VALUE);
  destroyPersistent(runtime, des, JC_HERE("RsaCipherTest"));
}

TEST_F(RsaCipherTest, TheKeyBuiltForOperationsFollowsEveryChange) {
  const Bytes hashInfo = concat(
      {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}, pattern(20, 9));
  Cipher& c = cipher(Cipher::ALG_RSA_PKCS1);
  EXPECT_EQ(run(c, hashInfo).size(), kModulusBytes);  // builds and keeps the key

  // Another key: first its private components, the public key still the old one.
  ossl::PkeyPtr other;
  {
    ossl::PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY* raw = nullptr;
    ASSERT_TRUE(ctx && EVP_PKEY_keygen_init(ctx.get()) > 0 && EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), 2048) > 0 &&
                EVP_PKEY_keygen(ctx.get(), &raw) > 0);
    other.reset(raw);
  }
  auto component = [&](const char* name) {
    BIGNUM* bn = nullptr;
    EXPECT_GT(EVP_PKEY_get_bn_param(other.get(), name, &bn), 0);
    Bytes out(static_cast<std::size_t>(BN_num_bytes(bn)));
    BN_bn2bin(bn, out.data());
    BN_clear_free(bn);
    return toArray(runtime, out);
  };
  CNGRSAPrivateCrtKeyWithPub* priv = pair->getPrivate();
  {
    const ByteArray p = component(OSSL_PKEY_PARAM_RSA_FACTOR1), q = component(OSSL_PKEY_PARAM_RSA_FACTOR2),
                    dp = component(OSSL_PKEY_PARAM_RSA_EXPONENT1), dq = component(OSSL_PKEY_PARAM_RSA_EXPONENT2),
                    qinv = component(OSSL_PKEY_PARAM_RSA_COEFFICIENT1);
    priv->setP(p, 0, p.length());
    priv->setQ(q, 0, q.length());
    priv->setDP1(dp, 0, dp.length());
    priv->setDQ1(dq, 0, dq.length());
    priv->setPQ(qinv, 0, qinv.length());
  }
  const Bytes mixed = run(c, hashInfo);
  EXPECT_FALSE(test::opensslVerify(publicKey.get(), "SHA1", pattern(20, 9), mixed));

  // Then the public key alone changes: the next signature is the other key's.
  {
    const ByteArray n = component(OSSL_PKEY_PARAM_RSA_N), e = component(OSSL_PKEY_PARAM_RSA_E);
    pair->getPublic()->setModulus(n, 0, n.length());
    pair->getPublic()->setExponent(e, 0, e.length());
  }
  EXPECT_TRUE(test::opensslVerify(other.get(), "SHA1", pattern(20, 9), run(c, hashInfo)));
}

TEST(CipherTest, CreateCipherAcceptsAnyAlgorithmAndDoFinalRejectsUnknownOnes) {
  JCRuntimeImpl runtime;
  auto* c = dynamic_cast<CNGCipherFull*>(runtime.createCipher(7));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->algorithm(), 7);
  EXPECT_EQ(c->key(), nullptr);
  EXPECT_EQ(c->mode(), 0);
  ByteArray buffer(16, runtime.persistentMemory(), JC_HERE("CipherTest"));
  for (auto call : {&Cipher::doFinal, &Cipher::update}) {
    try {
      (c->*call)(buffer, 0, 16, buffer, 0);
      ADD_FAILURE();
    } catch (const CryptoException& e) {
      EXPECT_EQ(e.getReason(), CryptoException::NO_SUCH_ALGORITHM);
    }
  }
  destroyPersistent(runtime, static_cast<Cipher*>(c), JC_HERE("CipherTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);  // buffer
}

}  // namespace
}  // namespace quillon
