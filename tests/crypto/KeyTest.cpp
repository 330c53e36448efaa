#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <utility>

#include "CryptoTestSupport.h"
#include "crypto/CNGDESKey.h"
#include "crypto/CNGKeyPair.h"
#include "crypto/CNGRSAPrivateCrtKeyWithPub.h"
#include "crypto/CNGRSAPublicKey.h"
#include "crypto/NormalizeBytes.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using test::Bytes;
using test::expectReason;
using test::toArray;
using test::toBytes;
using Component = CNGRSAPrivateCrtKey::Component;

TEST(NormalizeBytes, FitsValuesToTheWidth) {
  test::TraceCapture capture;
  JCRuntimeImpl runtime;
  const ByteArray value = toArray(runtime, {0x00, 0x00, 0x12, 0x34});
  EXPECT_EQ(toBytes(normalizeBytes(runtime, value, 4)), (Bytes{0x00, 0x00, 0x12, 0x34}));
  EXPECT_EQ(toBytes(normalizeBytes(runtime, value, 3)), (Bytes{0x00, 0x12, 0x34}));
  EXPECT_EQ(toBytes(normalizeBytes(runtime, value, 1)), (Bytes{0x34}));
  EXPECT_EQ(toBytes(normalizeBytes(runtime, value, 6)), (Bytes{0, 0, 0, 0, 0x12, 0x34}));
  EXPECT_EQ(toBytes(normalizeBytes(runtime, toArray(runtime, {0x00}), 2)), (Bytes{0x00, 0x00}));
  EXPECT_EQ(toBytes(normalizeBytes(runtime, ByteArray(), 3)), (Bytes{0, 0, 0}));
  EXPECT_EQ(normalizeBytes(runtime, value, 0).length(), 0);

  // A DER-style value with a sign byte in front loses only that byte.
  Bytes signedValue(65, 0xA5);
  signedValue[0] = 0x00;
  EXPECT_EQ(toBytes(normalizeBytes(runtime, toArray(runtime, signedValue), 64)), Bytes(64, 0xA5));
  // A longer significant value keeps its last bytes.
  EXPECT_EQ(toBytes(normalizeBytes(runtime, toArray(runtime, {0x01, 0x02, 0x03}), 2)), (Bytes{0x02, 0x03}));

  EXPECT_GE(capture.sink().count("normalizeBytes("), 1u);
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);  // only `value`; every result went back
}

class KeyTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(runtime.persistentBlockCount(), 0u); }

  template <class T>
  T* build(std::uint8_t type, std::uint16_t bits) {
    Key* key = runtime.buildKey(type, bits, false);
    auto* typed = dynamic_cast<T*>(key);
    EXPECT_NE(typed, nullptr);
    return typed;
  }
  void destroy(Key* key) { destroyPersistent(runtime, key, JC_HERE("KeyTest")); }

  test::ProbeRuntime runtime;
};

TEST_F(KeyTest, BuildKeyMakesEachKindAndRejectsOthers) {
  auto* des = build<CNGDESKey>(KeyBuilder::TYPE_DES, 128);
  EXPECT_EQ(des->getSize(), 192);
  EXPECT_FALSE(des->isInitialized());
  auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 2048);
  EXPECT_EQ(pub->getSize(), 2048);
  EXPECT_FALSE(pub->isInitialized());
  EXPECT_TRUE(pub->modulus().empty());
  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  EXPECT_EQ(priv->getSize(), 1024);
  EXPECT_FALSE(priv->isInitialized());
  EXPECT_EQ(priv->publicKey(), nullptr);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);

  for (std::uint8_t type : {0, 5, 7, 255}) {
    try {
      runtime.buildKey(type, 1024, false);
      ADD_FAILURE() << "type " << int{type};
    } catch (const CryptoException& e) {
      EXPECT_EQ(e.getReason(), CryptoException::NO_SUCH_ALGORITHM);
    }
  }
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  destroy(des);
  destroy(pub);
  destroy(priv);
}

TEST_F(KeyTest, FactoriesReturnNullWithoutABlock) {
  runtime.refuseAfter(0);
  EXPECT_EQ(runtime.buildKey(KeyBuilder::TYPE_DES, 192, false), nullptr);
  EXPECT_EQ(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, 2048, false), nullptr);
  EXPECT_EQ(runtime.createCipher(Cipher::ALG_RSA_PKCS1), nullptr);
  EXPECT_EQ(runtime.createKeyPair(2, 2048), nullptr);
  runtime.refuseAfter(1);  // the pair's block, then not its first key's
  EXPECT_EQ(runtime.createKeyPair(2, 2048), nullptr);
  runtime.refuseAfter(2);  // the pair and its public key, not the private key
  EXPECT_EQ(runtime.createKeyPair(2, 2048), nullptr);
  runtime.allowAll();
}

TEST_F(KeyTest, PublicKeyComponentsAndSize) {
  test::TraceCapture capture;
  auto* key = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
  {
    ByteArray buffer(300, runtime.persistentMemory(), JC_HERE("KeyTest"));
    for (std::uint16_t i = 0; i < 300; ++i) buffer[i] = static_cast<std::uint8_t>(i);

    key->setModulus(buffer, 10, 256);
    EXPECT_EQ(key->getSize(), 2048);
    EXPECT_FALSE(key->isInitialized());
    key->setExponent(buffer, 1, 3);
    EXPECT_EQ(key->getSize(), 2048);
    EXPECT_TRUE(key->isInitialized());
    EXPECT_EQ(capture.sink().count("CNGRSAPublicKey::setModulus("), 1u);
    EXPECT_EQ(capture.sink().count("CNGRSAPublicKey::setExponent("), 1u);

    ByteArray out(260, runtime.persistentMemory(), JC_HERE("KeyTest"));
    EXPECT_EQ(key->getModulus(out, 4), 256);
    EXPECT_EQ(toBytes(out, 4, 256), toBytes(buffer, 10, 256));
    EXPECT_EQ(out[3], 0);
    EXPECT_EQ(key->getExponent(out, 257), 3);
    EXPECT_EQ(toBytes(out, 257, 3), (Bytes{1, 2, 3}));

    // Ranges outside an array change nothing.
    expectReason([&] { key->setModulus(buffer, 45, 256); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->setExponent(buffer, 0xFFFF, 2); }, SystemException::INDEX_OUT_OF_BOUNDS);  // no 16-bit wrap
    expectReason([&] { key->setExponent(buffer, 301, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->getModulus(out, 5); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->getExponent(out, 258); }, SystemException::INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(key->getSize(), 2048);
    EXPECT_EQ(toBytes(key->modulus()), toBytes(buffer, 10, 256));

    key->clearKey();
    EXPECT_FALSE(key->isInitialized());
    EXPECT_TRUE(key->modulus().empty());
    EXPECT_TRUE(key->exponent().empty());
    EXPECT_EQ(key->getSize(), 2048);
    EXPECT_EQ(key->getModulus(out, 0xFFFF), 0);  // nothing to copy, nothing checked
  }
  destroy(key);
}

TEST_F(KeyTest, PrivateKeyIsInitialisedByItsFifthComponentInAnyOrder) {
  auto* key = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  {
    const ByteArray buffer = toArray(runtime, Bytes(64, 0x5A));
    using Setter = void (RSAPrivateCrtKey::*)(const ByteArray&, std::uint16_t, std::uint16_t);
    std::array<Setter, 5> setters = {&RSAPrivateCrtKey::setP, &RSAPrivateCrtKey::setQ, &RSAPrivateCrtKey::setDP1,
                                     &RSAPrivateCrtKey::setDQ1, &RSAPrivateCrtKey::setPQ};
    for (int rotation = 0; rotation < 5; ++rotation) {
      key->clearKey();
      for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(key->isInitialized()) << rotation << "/" << i;
        (key->*setters[(rotation + i) % 5])(buffer, 0, 64);
      }
      EXPECT_TRUE(key->isInitialized()) << rotation;
    }
    // An empty component makes the key incomplete again.
    key->setDQ1(buffer, 64, 0);
    EXPECT_FALSE(key->isInitialized());
    key->setDQ1(buffer, 0, 64);
    EXPECT_TRUE(key->isInitialized());

    key->clearKey();
    EXPECT_FALSE(key->isInitialized());
    EXPECT_EQ(key->getSize(), 1024);
    for (Component c : {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ})
      EXPECT_TRUE(key->component(c).empty());
  }
  destroy(key);
}

TEST_F(KeyTest, PrivateKeyRangesAndCopies) {
  auto* key = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  {
    ByteArray buffer(20, runtime.persistentMemory(), JC_HERE("KeyTest"));
    for (std::uint16_t i = 0; i < 20; ++i) buffer[i] = static_cast<std::uint8_t>(0xE0 + i);
    key->setP(buffer, 2, 8);
    key->setQ(buffer, 12, 8);
    expectReason([&] { key->setP(buffer, 13, 8); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->setDP1(buffer, 0, 21); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->setPQ(buffer, 0xFFF0, 0x20); }, SystemException::INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(toBytes(key->component(Component::P)), toBytes(buffer, 2, 8));  // untouched
    EXPECT_TRUE(key->component(Component::DP1).empty());

    ByteArray out(10, runtime.persistentMemory(), JC_HERE("KeyTest"));
    EXPECT_EQ(key->getP(out, 2), 8);
    EXPECT_EQ(toBytes(out, 2, 8), toBytes(buffer, 2, 8));
    EXPECT_EQ(key->getQ(out, 0), 8);
    EXPECT_EQ(toBytes(out, 0, 8), toBytes(buffer, 12, 8));
    expectReason([&] { key->getP(out, 3); }, SystemException::INDEX_OUT_OF_BOUNDS);
    expectReason([&] { key->getQ(out, 0xFFFF); }, SystemException::INDEX_OUT_OF_BOUNDS);
    EXPECT_EQ(out[9], buffer[9]);  // the failed copies wrote nothing
  }
  destroy(key);
}

TEST_F(KeyTest, PrivateComponentsAreWipedBeforeTheirBlocksGoBack) {
  auto* key = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  {
    const ByteArray buffer = toArray(runtime, Bytes(64, 0x77));
    key->setP(buffer, 0, 64);
    key->setP(buffer, 0, 32);  // replaces the first P
    key->setQ(buffer, 0, 64);
    key->setDP1(buffer, 0, 64);
    key->clearKey();
    key->setDQ1(buffer, 0, 64);
    key->setPQ(buffer, 0, 64);
    destroy(key);
  }
  std::size_t keyBlocks = 0;
  for (const auto& f : runtime.freedFrom()) keyBlocks += f.rfind("CNGRSAPrivateCrtKey::", 0) == 0;
  EXPECT_EQ(keyBlocks, 6u);
  for (const auto& f : runtime.unwipedFrees()) EXPECT_EQ(f.rfind("CNGRSAPrivateCrtKey::", 0), std::string::npos) << f;
}

TEST_F(KeyTest, DesKey) {
  auto* key = build<CNGDESKey>(KeyBuilder::TYPE_DES, 192);
  {
    ByteArray buffer(30, runtime.persistentMemory(), JC_HERE("KeyTest"));
    for (std::uint16_t i = 0; i < 30; ++i) buffer[i] = static_cast<std::uint8_t>(i + 1);
    ByteArray out(26, runtime.persistentMemory(), JC_HERE("KeyTest"));

    EXPECT_EQ(key->getKey(out, 0), 0);  // not initialised: nothing copied
    EXPECT_EQ(toBytes(out), Bytes(26, 0));
    expectReason([&] { key->setKey(buffer, 7); }, SystemException::INDEX_OUT_OF_BOUNDS);
    EXPECT_FALSE(key->isInitialized());

    key->setKey(buffer, 6);
    EXPECT_TRUE(key->isInitialized());
    EXPECT_EQ(key->getSize(), 192);
    EXPECT_EQ(key->getKey(out, 2), 24);
    EXPECT_EQ(toBytes(out, 2, 24), toBytes(buffer, 6, 24));
    expectReason([&] { key->getKey(out, 3); }, SystemException::INDEX_OUT_OF_BOUNDS);

    key->clearKey();
    EXPECT_FALSE(key->isInitialized());
    EXPECT_EQ(key->keyBytes(), (std::array<std::uint8_t, 24>{}));
    EXPECT_EQ(key->getKey(out, 0), 0);
  }
  destroy(key);
}

TEST_F(KeyTest, KeyPairFromKeysTakesBothKeys) {
  auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  {
    const ByteArray buffer = toArray(runtime, Bytes(128, 0x33));
    pub->setModulus(buffer, 0, 128);
    pub->setExponent(buffer, 0, 3);
    priv->setP(buffer, 0, 64);
    priv->setQ(buffer, 1, 64);
    priv->setDP1(buffer, 2, 64);
    priv->setDQ1(buffer, 3, 64);
    priv->setPQ(buffer, 4, 63);
  }
  pub->setSize(1536);  // the pair takes the public key's size
  const std::size_t blocks = runtime.persistentBlockCount();

  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPairFromKeys(pub, priv));
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(runtime.persistentBlockCount(), blocks + 1);  // new private key and pair in, old private key out
  EXPECT_EQ(pair->getPublic(), pub);
  EXPECT_EQ(pair->size(), 1536);
  CNGRSAPrivateCrtKeyWithPub* linked = pair->getPrivate();
  EXPECT_NE(linked, priv);
  EXPECT_EQ(linked->publicKey(), pub);
  EXPECT_TRUE(linked->isInitialized());
  EXPECT_EQ(linked->getSize(), 1024);
  EXPECT_EQ(linked->component(Component::PQ).length(), 63);
  EXPECT_EQ(linked->component(Component::DQ1)[0], 0x33);

  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyTest"));
}

TEST_F(KeyTest, KeyPairFromKeysWithoutBlocksReleasesEverything) {
  for (int successes : {0, 1}) {  // no block for the new private key; none for the pair
    auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 1024);
    auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
    {
      const ByteArray buffer = toArray(runtime, Bytes(64, 0x44));
      priv->setP(buffer, 0, 64);
      priv->setQ(buffer, 0, 64);
    }
    runtime.refuseAfter(successes);
    EXPECT_EQ(runtime.createKeyPairFromKeys(pub, priv), nullptr) << successes;
    runtime.allowAll();
    EXPECT_EQ(runtime.persistentBlockCount(), 0u) << successes;
  }
  for (const auto& f : runtime.unwipedFrees()) EXPECT_EQ(f.rfind("CNGRSAPrivateCrtKey::", 0), std::string::npos) << f;
}

TEST_F(KeyTest, KeyPairWithoutAPublicKeyIsRefusedAndReleasesThePrivateKey) {
  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 1024);
  try {
    runtime.createKeyPairFromKeys(nullptr, priv);
    ADD_FAILURE();
  } catch (const CryptoException& e) {
    EXPECT_EQ(e.getReason(), CryptoException::ILLEGAL_VALUE);
  }
}

TEST_F(KeyTest, KeyPairKeysCanBeReplacedAsTheStateDocumentLoads) {
  auto* pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, 2048));
  ASSERT_NE(pair, nullptr);
  pair->setSize(4096);
  EXPECT_EQ(pair->size(), 4096);

  auto* pub = build<CNGRSAPublicKey>(KeyBuilder::TYPE_RSA_PUBLIC, 4096);
  pair->replacePublic(pub);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);  // the old public key went
  EXPECT_EQ(pair->getPublic(), pub);
  EXPECT_EQ(pair->getPrivate()->publicKey(), pub);  // never left pointing at the old one

  auto* priv = build<CNGRSAPrivateCrtKeyWithPub>(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 4096);
  pair->replacePrivate(priv);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  EXPECT_EQ(pair->getPrivate(), priv);
  EXPECT_EQ(priv->publicKey(), nullptr);
  priv->setPublicKey(pub);

  {
    ByteArray modulus(512, runtime.persistentMemory(), JC_HERE("serializeJCByteArray"));
    pub->replaceModulus(std::move(modulus));
    EXPECT_EQ(pub->modulus().length(), 512);
    EXPECT_EQ(pub->getSize(), 4096);  // a replaced array leaves the size alone
    ByteArray p(256, runtime.persistentMemory(), JC_HERE("serializeJCByteArray"));
    priv->replaceComponent(Component::P, std::move(p));
    priv->setInitialized(true);  // as the document says, whatever the components
    EXPECT_TRUE(priv->isInitialized());
    EXPECT_EQ(priv->component(Component::P).length(), 256);
  }
  destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("KeyTest"));
}

TEST_F(KeyTest, KeyPairDestroysBothKeys) {
  KeyPair* pair = runtime.createKeyPair(2, 2048);
  ASSERT_NE(pair, nullptr);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  EXPECT_EQ(pair->getPrivate()->getSize(), 2048);
  EXPECT_EQ(pair->getPublic()->getSize(), 2048);
  EXPECT_EQ(static_cast<CNGRSAPrivateCrtKeyWithPub*>(pair->getPrivate())->publicKey(), pair->getPublic());
  EXPECT_FALSE(pair->getPrivate()->isInitialized());
  destroyPersistent(runtime, pair, JC_HERE("KeyTest"));
  const auto& freed = runtime.freedFrom();
  ASSERT_GE(freed.size(), 3u);
  EXPECT_EQ(freed[freed.size() - 1], "JCRuntimeImpl::createKeyPair");
  EXPECT_EQ(freed[freed.size() - 2], "CNGKeyPair::CNGKeyPair");
}

}  // namespace
}  // namespace quillon
