// Keys as the card builds them: kinds, initialised flags, every range checked,
// private components wiped before their blocks go back; a generated pair used as a
// host would use it, and a pair's state-document round trip keeping every field.
#include <gtest/gtest.h>

#include "ProbeRuntime.h"
#include "container/XmlReadArchive.h"
#include "container/XmlWriteArchive.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

using Component = CNGRSAPrivateCrtKey::Component;
constexpr Component kComponents[] = {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ};
constexpr auto kOut = SystemException::INDEX_OUT_OF_BOUNDS;

TEST(KeyTest, ComponentsRangesFlagsAndWiping) {
  ProbeRuntime runtime;
  for (std::uint8_t type : {0, 5, 7, 255})
    expectReason([&] { runtime.buildKey(type, 1024, false); }, CryptoException::NO_SUCH_ALGORITHM);
  ByteArray buffer(300, runtime.persistentMemory(), JC_HERE("KeyTest"));
  for (std::uint16_t i = 0; i < 300; ++i) buffer[i] = static_cast<std::uint8_t>(0xC0 + i);
  ByteArray out(260, runtime.persistentMemory(), JC_HERE("KeyTest"));

  auto* pub = static_cast<RSAPublicKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, 1024, false));
  pub->setModulus(buffer, 44, 256);  // ends at the last byte
  EXPECT_EQ(pub->getSize(), 2048);   // the modulus sets the size
  EXPECT_FALSE(pub->isInitialized());
  pub->setExponent(buffer, 1, 3);
  EXPECT_TRUE(pub->isInitialized());
  EXPECT_EQ(pub->getModulus(out, 4), 256);
  EXPECT_EQ(toBytes(out, 4, 256), toBytes(buffer, 44, 256));
  expectReason([&] { pub->setModulus(buffer, 45, 256); }, kOut);
  expectReason([&] { pub->setExponent(buffer, 0xFFFF, 2); }, kOut);  // no 16-bit wrap
  expectReason([&] { pub->getModulus(out, 5); }, kOut);
  EXPECT_EQ(toBytes(dynamic_cast<CNGRSAPublicKey*>(pub)->modulus()), toBytes(buffer, 44, 256));  // unchanged
  destroyPersistent(runtime, static_cast<Key*>(pub), JC_HERE("KeyTest"));

  auto* priv = static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024, false));
  priv->setP(buffer, 0, 64);
  priv->setP(buffer, 292, 8);  // ends at the last byte; replaces the first P, which must be wiped
  for (auto set : {&RSAPrivateCrtKey::setQ, &RSAPrivateCrtKey::setDP1, &RSAPrivateCrtKey::setDQ1}) {
    EXPECT_FALSE(priv->isInitialized());
    (priv->*set)(buffer, 12, 8);
  }
  EXPECT_FALSE(priv->isInitialized());  // four of five
  priv->setPQ(buffer, 0, 64);
  EXPECT_TRUE(priv->isInitialized());
  expectReason([&] { priv->setP(buffer, 293, 8); }, kOut);
  EXPECT_EQ(priv->getP(out, 252), 8);
  EXPECT_EQ(toBytes(out, 252, 8), toBytes(buffer, 292, 8));
  expectReason([&] { priv->getQ(out, 253); }, kOut);
  destroyPersistent(runtime, static_cast<Key*>(priv), JC_HERE("KeyTest"));

  auto* lone = static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024, false));
  expectReason([&] { runtime.createKeyPairFromKeys(nullptr, lone); }, CryptoException::ILLEGAL_VALUE);
  runtime.expectKeyBlocksWipedAndFreed(2);  // all but buffer and out
}

// 129 bytes of modulus, 65 of each prime: no component may lose a byte.
TEST(KeyPairTest, AGeneratedPairOfAnOddLengthSigns) {
  ProbeRuntime runtime;
  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, 1032));
  ASSERT_NE(pair, nullptr);
  pair->genKeyPair();
  CNGRSAPublicKey* pub = pair->getPublic();
  EXPECT_TRUE(pub->isInitialized() && pair->getPrivate()->isInitialized());
  ASSERT_EQ(pub->modulus().length(), 129);
  EXPECT_GE(pub->modulus()[0], 0x80);  // a full-size modulus
  for (Component c : kComponents) EXPECT_EQ(pair->getPrivate()->component(c).length(), 65);

  const ossl::PkeyPtr publicKey = rsaPublicKey(toBytes(pub->modulus()), toBytes(pub->exponent()));
  Cipher* cipher = runtime.createCipher(Cipher::ALG_RSA_PKCS1);
  {
    const Bytes info = sha256DigestInfo("generated");
    const ByteArray source = toArray(runtime, info);
    ByteArray out(129, runtime.persistentMemory(), JC_HERE("KeyPairTest"));
    cipher->init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
    ASSERT_EQ(cipher->doFinal(source, 0, source.length(), out, 0), 129);
    EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", Bytes(info.begin() + 19, info.end()), toBytes(out)));
  }
  destroyPersistent(runtime, cipher, JC_HERE("KeyPairTest"));
  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyPairTest"));
  runtime.expectKeyBlocksWipedAndFreed();
}

TEST(KeyPairTest, TheStateDocumentRoundTripKeepsEveryField) {
  ProbeRuntime runtime;
  auto* stored = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, 1032));
  stored->genKeyPair();
  XmlWriteArchive writer(runtime);
  stored->serialize(writer);
  const auto document = writer.detachStream();
  ASSERT_TRUE(document);
  auto* loaded = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, 2048));
  XmlReadArchive reader(*document, runtime);
  loaded->serialize(reader);
  EXPECT_FALSE(reader.failed());

  EXPECT_EQ(loaded->size(), 1032);
  EXPECT_EQ(loaded->getPublic()->getSize(), 1032);
  EXPECT_EQ(toBytes(loaded->getPublic()->modulus()), toBytes(stored->getPublic()->modulus()));
  EXPECT_EQ(toBytes(loaded->getPublic()->exponent()), toBytes(stored->getPublic()->exponent()));
  EXPECT_EQ(loaded->getPrivate()->getSize(), 1032);
  EXPECT_TRUE(loaded->getPrivate()->isInitialized());
  for (Component c : kComponents)
    EXPECT_EQ(toBytes(loaded->getPrivate()->component(c)), toBytes(stored->getPrivate()->component(c)));
  EXPECT_EQ(loaded->getPrivate()->publicKey(), loaded->getPublic());
  destroyPersistent(runtime, static_cast<KeyPair*>(stored), JC_HERE("KeyPairTest"));
  destroyPersistent(runtime, static_cast<KeyPair*>(loaded), JC_HERE("KeyPairTest"));
  runtime.expectKeyBlocksWipedAndFreed();
}

}  // namespace
}  // namespace quillon::test
