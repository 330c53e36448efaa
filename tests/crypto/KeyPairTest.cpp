// Key pair generation: pairs of the sizes the applet asks for, used as a host
// would use them, regenerated without leaks, and a failed generation traced.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "ProbeRuntime.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

using Component = CNGRSAPrivateCrtKey::Component;

// Generates a pair of `bits` (twice, the second replacing the first) and checks it
// the way a host would use it.
void generateAndUse(std::uint16_t bits) {
  SCOPED_TRACE(bits);
  ProbeRuntime runtime;
  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, bits));
  ASSERT_NE(pair, nullptr);
  pair->genKeyPair();
  const Bytes first = toBytes(pair->getPublic()->modulus());
  const std::size_t blocks = runtime.persistentBlockCount();
  pair->genKeyPair();
  EXPECT_EQ(runtime.persistentBlockCount(), blocks);
  EXPECT_NE(toBytes(pair->getPublic()->modulus()), first);

  CNGRSAPublicKey* pub = pair->getPublic();
  CNGRSAPrivateCrtKeyWithPub* priv = pair->getPrivate();
  EXPECT_TRUE(pub->isInitialized() && priv->isInitialized());
  EXPECT_EQ(priv->getSize(), bits);
  EXPECT_EQ(priv->publicKey(), pub);
  EXPECT_EQ(toBytes(pub->exponent()), (Bytes{0x01, 0x00, 0x01}));
  ASSERT_EQ(pub->modulus().length(), (bits + 7) / 8);
  EXPECT_GE(pub->modulus()[0], 0x80);  // a full-size modulus
  for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
    EXPECT_EQ(priv->component(c).length(), (bits + 15) / 16);

  // A signature verifies under the exported public key; OAEP from the host deciphers.
  const ossl::PkeyPtr publicKey = rsaPublicKey(toBytes(pub->modulus()), toBytes(pub->exponent()));
  Cipher* cipher = runtime.createCipher(Cipher::ALG_RSA_OAEP);
  {
    const Bytes info = sha256DigestInfo("generated");
    const ByteArray source = toArray(runtime, info);
    ByteArray out(pub->modulus().length(), runtime.persistentMemory(), JC_HERE("KeyPairTest"));
    cipher->init(priv, Cipher::MODE_ENCRYPT);
    ASSERT_EQ(cipher->doFinal(source, 0, source.length(), out, 0), out.length());
    EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", Bytes(info.begin() + 19, info.end()), toBytes(out)));

    const Bytes secret(24, 0x6B);
    const ByteArray ciphertext = toArray(runtime, rsaEncrypt(publicKey.get(), secret, RSA_PKCS1_OAEP_PADDING));
    cipher->init(priv, Cipher::MODE_DECRYPT);
    ASSERT_EQ(cipher->doFinal(ciphertext, 0, ciphertext.length(), out, 0), secret.size());
    EXPECT_EQ(toBytes(out, 0, secret.size()), secret);
  }
  destroyPersistent(runtime, cipher, JC_HERE("KeyPairTest"));
  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  runtime.expectKeyBlocksWiped();
}

TEST(KeyPairTest, Generates1024And2048BitPairs) {
  generateAndUse(1024);
  generateAndUse(2048);
}

// 129 bytes of modulus, 65 of each prime: no component may lose a byte.
TEST(KeyPairTest, GeneratesAPairWithAnOddModulusLength) { generateAndUse(1032); }

TEST(KeyPairTest, AFailedGenerationIsTracedAndLeavesTheKeys) {
  TraceCapture capture;
  JCRuntimeImpl runtime;
  KeyPair* pair = runtime.createKeyPair(2, 256);  // below what OpenSSL generates
  expectReason([&] { pair->genKeyPair(); }, CryptoException::PLATFORM_ERROR);
  EXPECT_GE(capture.sink().count("EVP_PKEY_CTX_set_rsa_keygen_bits failed"), 1u);
  EXPECT_FALSE(pair->getPublic()->isInitialized());
  EXPECT_FALSE(pair->getPrivate()->isInitialized());
  destroyPersistent(runtime, pair, JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
}

}  // namespace
}  // namespace quillon::test
