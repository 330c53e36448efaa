#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "CryptoTestSupport.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using test::Bytes;
using test::toArray;
using test::toBytes;
using Component = CNGRSAPrivateCrtKey::Component;

ossl::BnPtr bnOf(const ByteArray& a) { return ossl::BnPtr(BN_bin2bn(a.data(), a.length(), nullptr)); }

// Generates a pair of bits and checks it the way a host would use it.
void generateAndUse(std::uint16_t bits) {
  SCOPED_TRACE(bits);
  test::TraceCapture capture;
  test::ProbeRuntime runtime;
  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, bits));
  ASSERT_NE(pair, nullptr);
  pair->genKeyPair();
  EXPECT_EQ(capture.sink().count("CNGKeyPair::genKeyPair("), 1u);

  CNGRSAPublicKey* pub = pair->getPublic();
  CNGRSAPrivateCrtKeyWithPub* priv = pair->getPrivate();
  const std::uint16_t cbModulus = (bits + 7) / 8, cbPrime = (bits + 15) / 16;
  EXPECT_TRUE(pub->isInitialized());
  EXPECT_TRUE(priv->isInitialized());
  EXPECT_EQ(pub->getSize(), bits);
  EXPECT_EQ(priv->getSize(), bits);
  EXPECT_EQ(priv->publicKey(), pub);
  EXPECT_EQ(toBytes(pub->exponent()), (Bytes{0x01, 0x00, 0x01}));
  ASSERT_EQ(pub->modulus().length(), cbModulus);
  EXPECT_GE(pub->modulus()[0], 0x80);  // a full-size modulus
  for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
    EXPECT_EQ(priv->component(c).length(), cbPrime);

  // p * q = n
  {
    ossl::BnCtxPtr ctx(BN_CTX_new());
    ossl::BnPtr product(BN_new());
    ASSERT_TRUE(BN_mul(product.get(), bnOf(priv->component(Component::P)).get(),
                       bnOf(priv->component(Component::Q)).get(), ctx.get()));
    EXPECT_EQ(BN_cmp(product.get(), bnOf(pub->modulus()).get()), 0);
  }

  // A signature verifies under the exported public key; OAEP from the host decrypts.
  const ossl::PkeyPtr publicKey = test::publicKeyOf(toBytes(pub->modulus()), toBytes(pub->exponent()));
  Cipher* cipher = runtime.createCipher(Cipher::ALG_RSA_OAEP);
  {
    const Bytes hash(32, 0xC3);
    // The SHA-256 DigestInfo prefix, then the hash.
    Bytes input = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                   0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    input.resize(input.size() + hash.size(), 0xC3);
    const ByteArray source = toArray(runtime, input);
    ByteArray out(cbModulus, runtime.persistentMemory(), JC_HERE("KeyPairTest"));
    cipher->init(priv, Cipher::MODE_ENCRYPT);
    ASSERT_EQ(cipher->doFinal(source, 0, source.length(), out, 0), cbModulus);
    EXPECT_TRUE(test::opensslVerify(publicKey.get(), "SHA256", hash, toBytes(out)));

    const Bytes secret(24, 0x6B);
    const ByteArray ciphertext =
        toArray(runtime, test::opensslEncrypt(publicKey.get(), RSA_PKCS1_OAEP_PADDING, secret));
    cipher->init(priv, Cipher::MODE_DECRYPT);
    ASSERT_EQ(cipher->doFinal(ciphertext, 0, ciphertext.length(), out, 0), secret.size());
    EXPECT_EQ(toBytes(out, 0, secret.size()), secret);
  }
  destroyPersistent(runtime, cipher, JC_HERE("KeyPairTest"));
  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  for (const auto& f : runtime.unwipedFrees())
    EXPECT_TRUE(f.rfind("CNGRSAPrivateCrtKey::", 0) != 0 && f != "normalizeBytes") << f;
}

TEST(KeyPairTest, Generates1024And2048BitPairs) {
  generateAndUse(1024);
  generateAndUse(2048);
}

// 129 bytes of modulus, 65 of each prime: no component may lose a byte.
TEST(KeyPairTest, GeneratesAPairWithAnOddModulusLength) { generateAndUse(1032); }

TEST(KeyPairTest, Generates3072And4096BitPairsSlow) {
  generateAndUse(3072);
  generateAndUse(4096);
}

TEST(KeyPairTest, RegeneratingReplacesTheKeysAndLeaksNothing) {
  test::ProbeRuntime runtime;
  KeyPair* pair = runtime.createKeyPair(2, 1024);
  pair->genKeyPair();
  const Bytes first = toBytes(static_cast<CNGRSAPublicKey*>(pair->getPublic())->modulus());
  const std::size_t blocks = runtime.persistentBlockCount();
  pair->genKeyPair();
  EXPECT_EQ(runtime.persistentBlockCount(), blocks);
  EXPECT_NE(toBytes(static_cast<CNGRSAPublicKey*>(pair->getPublic())->modulus()), first);
  destroyPersistent(runtime, pair, JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  for (const auto& f : runtime.unwipedFrees()) EXPECT_NE(f.rfind("CNGRSAPrivateCrtKey::", 0), 0u) << f;
}

TEST(KeyPairTest, AFailedGenerationIsTracedAndLeavesTheKeys) {
  test::TraceCapture capture;
  JCRuntimeImpl runtime;
  KeyPair* pair = runtime.createKeyPair(2, 256);  // below what OpenSSL generates
  try {
    pair->genKeyPair();
    ADD_FAILURE();
  } catch (const CryptoException& e) {
    EXPECT_EQ(e.getReason(), CryptoException::PLATFORM_ERROR);
  }
  EXPECT_GE(capture.sink().count("EVP_PKEY_CTX_set_rsa_keygen_bits failed"), 1u);
  bool critical = false;
  for (const auto& line : capture.sink().lines()) critical |= line.level == trace::kCritical;
  EXPECT_TRUE(critical);
  EXPECT_FALSE(pair->getPublic()->isInitialized());
  EXPECT_FALSE(pair->getPrivate()->isInitialized());
  destroyPersistent(runtime, pair, JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
}

}  // namespace
}  // namespace quillon
