// Keys as the card builds them: kinds, sizes, initialised flags, ranges, pairs made
// from two keys, and private components wiped before their blocks go back.
#include <gtest/gtest.h>

#include "ProbeRuntime.h"
#include "crypto/CNGDESKey.h"
#include "crypto/CNGKeyPair.h"
#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "jc/PersistentObject.h"

namespace quillon::test {
namespace {

using Component = CNGRSAPrivateCrtKey::Component;
constexpr auto kOut = SystemException::INDEX_OUT_OF_BOUNDS;

class KeyTest : public ::testing::Test {
 protected:
  void TearDown() override {
    EXPECT_EQ(runtime.persistentBlockCount(), 0u);
    runtime.expectKeyBlocksWiped();
  }
  template <class T>
  T* build(std::uint8_t type, std::uint16_t bits) {
    auto* typed = dynamic_cast<T*>(runtime.buildKey(type, bits, false));
    EXPECT_NE(typed, nullptr);
    return typed;
  }
  void destroy(Key* key) { destroyPersistent(runtime, key, JC_HERE("KeyTest")); }

  ProbeRuntime runtime;
};

TEST_F(KeyTest, BuildKeyMakesEachKindAndRejectsOthers) {
  auto* des = build<CNGDESKey>(KeyBuilder::TYPE_DES, 128);
  EXPECT_EQ(des->getSize(), 192);
  auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 2048);
  EXPECT_EQ(pub->getSize(), 2048);
  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  EXPECT_EQ(priv->getSize(), 1024);
  EXPECT_FALSE(des->isInitialized() || pub->isInitialized() || priv->isInitialized());
  for (std::uint8_t type : {0, 5, 7, 255})
    expectReason([&] { runtime.buildKey(type, 1024, false); }, CryptoException::NO_SUCH_ALGORITHM);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  destroy(des);
  destroy(pub);
  destroy(priv);
}

TEST_F(KeyTest, FactoriesWithoutBlocksReturnNullAndLeakNothing) {
  runtime.refuseAfter(0);
  EXPECT_EQ(runtime.buildKey(KeyBuilder::TYPE_DES, 192, false), nullptr);
  EXPECT_EQ(runtime.createCipher(Cipher::ALG_RSA_PKCS1), nullptr);
  for (int successes : {0, 1, 2}) {  // no pair; a pair without its public key; without its private key
    runtime.refuseAfter(successes);
    EXPECT_EQ(runtime.createKeyPair(2, 2048), nullptr) << successes;
  }
  // createKeyPairFromKeys takes both keys: without a block for the new private key
  // or for the pair, both are released.
  for (int successes : {0, 1}) {
    runtime.refuseAfter(-1);
    auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
    auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
    const ByteArray buffer = toArray(runtime, Bytes(64, 0x44));
    priv->setP(buffer, 0, 64);
    runtime.refuseAfter(successes);
    EXPECT_EQ(runtime.createKeyPairFromKeys(pub, priv), nullptr) << successes;
  }
  runtime.refuseAfter(-1);
}

TEST_F(KeyTest, PublicKeyComponentsAndRanges) {
  auto* key = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
  ByteArray buffer(300, runtime.persistentMemory(), JC_HERE("KeyTest"));
  for (std::uint16_t i = 0; i < 300; ++i) buffer[i] = static_cast<std::uint8_t>(i);
  key->setModulus(buffer, 10, 256);
  EXPECT_EQ(key->getSize(), 2048);  // the modulus sets the size
  EXPECT_FALSE(key->isInitialized());
  key->setExponent(buffer, 1, 3);
  EXPECT_TRUE(key->isInitialized());

  ByteArray out(260, runtime.persistentMemory(), JC_HERE("KeyTest"));
  EXPECT_EQ(key->getModulus(out, 4), 256);
  EXPECT_EQ(toBytes(out, 4, 256), toBytes(buffer, 10, 256));
  EXPECT_EQ(key->getExponent(out, 257), 3);
  // Ranges outside an array change nothing.
  expectReason([&] { key->setModulus(buffer, 45, 256); }, kOut);
  expectReason([&] { key->setExponent(buffer, 0xFFFF, 2); }, kOut);  // no 16-bit wrap
  expectReason([&] { key->getModulus(out, 5); }, kOut);
  expectReason([&] { key->getExponent(out, 258); }, kOut);
  EXPECT_EQ(toBytes(key->modulus()), toBytes(buffer, 10, 256));

  key->clearKey();
  EXPECT_FALSE(key->isInitialized());
  EXPECT_TRUE(key->modulus().empty() && key->exponent().empty());
  EXPECT_EQ(key->getModulus(out, 0xFFFF), 0);  // nothing to copy, nothing checked
  destroy(key);
}

TEST_F(KeyTest, PrivateKeyFlagRangesAndWiping) {
  auto* key = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  ByteArray buffer(64, runtime.persistentMemory(), JC_HERE("KeyTest"));
  for (std::uint16_t i = 0; i < 64; ++i) buffer[i] = static_cast<std::uint8_t>(0xC0 + i);
  key->setP(buffer, 0, 64);
  key->setP(buffer, 2, 8);  // replaces the first P, which must be wiped
  key->setQ(buffer, 12, 8);
  key->setDP1(buffer, 0, 64);
  key->setDQ1(buffer, 0, 64);
  EXPECT_FALSE(key->isInitialized());  // four of five
  key->setPQ(buffer, 0, 64);
  EXPECT_TRUE(key->isInitialized());
  key->setDQ1(buffer, 64, 0);  // an empty component makes the key incomplete again
  EXPECT_FALSE(key->isInitialized());

  expectReason([&] { key->setP(buffer, 57, 8); }, kOut);
  expectReason([&] { key->setPQ(buffer, 0xFFF0, 0x20); }, kOut);
  EXPECT_EQ(toBytes(key->component(Component::P)), toBytes(buffer, 2, 8));  // untouched
  ByteArray out(10, runtime.persistentMemory(), JC_HERE("KeyTest"));
  EXPECT_EQ(key->getQ(out, 2), 8);
  EXPECT_EQ(toBytes(out, 2, 8), toBytes(buffer, 12, 8));
  expectReason([&] { key->getP(out, 3); }, kOut);
  expectReason([&] { key->getQ(out, 0xFFFF); }, kOut);

  key->clearKey();
  EXPECT_EQ(key->getSize(), 1024);
  for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
    EXPECT_TRUE(key->component(c).empty());
  destroy(key);  // TearDown checks that every component went back wiped
}

TEST_F(KeyTest, KeyPairFromKeysTakesBothKeys) {
  auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  const ByteArray buffer = toArray(runtime, Bytes(128, 0x33));
  pub->setModulus(buffer, 0, 128);
  pub->setExponent(buffer, 0, 3);
  priv->setP(buffer, 0, 64);
  priv->setQ(buffer, 1, 64);
  priv->setDP1(buffer, 2, 64);
  priv->setDQ1(buffer, 3, 64);
  priv->setPQ(buffer, 4, 63);
  pub->setSize(1536);  // the pair takes the public key's size
  const std::size_t blocks = runtime.persistentBlockCount();
  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPairFromKeys(pub, priv));
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(runtime.persistentBlockCount(), blocks + 1);  // new private key and pair in, old private key out
  EXPECT_EQ(pair->getPublic(), pub);
  EXPECT_EQ(pair->size(), 1536);
  CNGRSAPrivateCrtKeyWithPub* linked = pair->getPrivate();
  EXPECT_EQ(linked->publicKey(), pub);
  EXPECT_TRUE(linked->isInitialized());
  EXPECT_EQ(linked->component(Component::PQ).length(), 63);
  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyTest"));

  auto* lone = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  expectReason([&] { runtime.createKeyPairFromKeys(nullptr, lone); }, CryptoException::ILLEGAL_VALUE);
}

}  // namespace
}  // namespace quillon::test
