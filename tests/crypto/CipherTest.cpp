// The ciphers: RSA on the fixed 2048-bit test key and triple-DES CBC (zero IV, no
// padding) against known answers from the openssl command line, every refused
// length or range, unusable keys, and random data.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include "ProbeRuntime.h"
#include "crypto/CNGCipherFull.h"
#include "crypto/CNGDESKey.h"
#include "crypto/CNGKeyPair.h"
#include "jc/PersistentObject.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

constexpr auto kIllegalUse = CryptoException::ILLEGAL_USE;
constexpr auto kPlatformError = CryptoException::PLATFORM_ERROR;
constexpr auto kOut = SystemException::INDEX_OUT_OF_BOUNDS;
const std::map<std::string, std::uint8_t> kRsa = {
    {"PKCS1", Cipher::ALG_RSA_PKCS1}, {"OAEP", Cipher::ALG_RSA_OAEP}, {"NOPAD", Cipher::ALG_RSA_NOPAD}};

// A SHA-256 DigestInfo whose hash is `length` bytes.
Bytes digestInfo(std::size_t length) {
  Bytes b = fromHex("3031300d060960864801650304020105000420");
  b.resize(b.size() + length, 0x40);
  return b;
}

// The card's key pair made from the test key as the applet's key import makes it.
class RsaCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto* pub = static_cast<RSAPublicKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_PUBLIC, 2048, false));
    auto* priv = static_cast<RSAPrivateCrtKey*>(runtime.buildKey(KeyBuilder::TYPE_RSA_CRT_PRIVATE, 2048, false));
    auto set = [&](auto* key, auto setter, const char* name) {
      (key->*setter)(toArray(runtime, v.at(name)), 0, static_cast<std::uint16_t>(v.at(name).size()));
    };
    set(pub, &RSAPublicKey::setModulus, "N");
    set(pub, &RSAPublicKey::setExponent, "E");
    set(priv, &RSAPrivateCrtKey::setP, "P");
    set(priv, &RSAPrivateCrtKey::setQ, "Q");
    set(priv, &RSAPrivateCrtKey::setDP1, "DP1");
    set(priv, &RSAPrivateCrtKey::setDQ1, "DQ1");
    set(priv, &RSAPrivateCrtKey::setPQ, "PQ");
    pair = dynamic_cast<CNGKeyPair*>(runtime.createKeyPairFromKeys(pub, priv));
    ASSERT_NE(pair, nullptr);
    for (const auto& [name, alg] : kRsa) ciphers[alg] = runtime.createCipher(alg);
  }
  void TearDown() override {
    for (const auto& [alg, c] : ciphers) destroyPersistent(runtime, c, JC_HERE("RsaCipherTest"));
    destroyPersistent(runtime, static_cast<KeyPair*>(pair), JC_HERE("RsaCipherTest"));
    runtime.expectKeyBlocksWipedAndFreed();
  }

  // doFinal over input into a fresh destination; the bytes written.
  Bytes run(std::uint8_t alg, const Bytes& input, std::uint8_t mode = Cipher::MODE_ENCRYPT) {
    ciphers[alg]->init(pair->getPrivate(), mode);
    const ByteArray source = toArray(runtime, input);
    ByteArray destination(300, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
    return toBytes(destination, 0, ciphers[alg]->doFinal(source, 0, source.length(), destination, 0));
  }

  ProbeRuntime runtime;
  const std::map<std::string, Bytes> v = readHexVectors("crypto/rsa2048.vec");
  CNGKeyPair* pair = nullptr;
  std::map<std::uint8_t, Cipher*> ciphers;
};

TEST_F(RsaCipherTest, KnownAnswers) {
  for (const VecRecord& r : readVecFile("crypto/rsa2048-kat.vec"))
    for (const auto& [name, alg] : kRsa)
      if (r.at("Alg").find(name) != std::string::npos) {
        EXPECT_EQ(
            run(alg, fromHex(r.at("Input")), r.at("Mode") == "sign" ? Cipher::MODE_ENCRYPT : Cipher::MODE_DECRYPT),
            fromHex(r.at("Output")))
            << name << " " << r.at("Mode") << " " << r.at("Input").substr(0, 40);
      }
}

TEST_F(RsaCipherTest, RefusedLengthsRangesAndKeysWriteNothing) {
  const struct {
    std::uint8_t alg;
    Bytes input;
    std::uint16_t reason;
  } refused[] = {
      {Cipher::ALG_RSA_PKCS1, Bytes(253, 1), kIllegalUse},  // no room for 00 01 FF 00
      {Cipher::ALG_RSA_NOPAD, Bytes(255, 1), kIllegalUse},       {Cipher::ALG_RSA_NOPAD, Bytes(257, 1), kIllegalUse},
      {Cipher::ALG_RSA_PKCS1, digestInfo(31), kIllegalUse},      {Cipher::ALG_RSA_PKCS1, digestInfo(33), kIllegalUse},
      {Cipher::ALG_RSA_NOPAD, Bytes(256, 0xFF), kPlatformError},  // above the modulus
  };
  for (const auto& r : refused) expectReason([&] { run(r.alg, r.input); }, r.reason);

  const ossl::PkeyPtr publicKey = rsaPublicKey(v.at("N"), v.at("E"));
  const ByteArray source = toArray(runtime, rsaEncrypt(publicKey.get(), Bytes(40, 3), RSA_PKCS1_PADDING));
  ByteArray destination(300, runtime.persistentMemory(), JC_HERE("RsaCipherTest"));
  Cipher& c = *ciphers[Cipher::ALG_RSA_PKCS1];
  c.init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  expectReason([&] { c.doFinal(source, 0, 256, destination, 261); }, kPlatformError);  // room for 39 of 40
  expectReason([&] { c.doFinal(source, 1, 256, destination, 0); }, kOut);
  expectReason([&] { c.doFinal(source, 0xFFFF, 2, destination, 0); }, kOut);
  ciphers[Cipher::ALG_RSA_OAEP]->init(pair->getPrivate(), Cipher::MODE_DECRYPT);
  expectReason([&] { ciphers[Cipher::ALG_RSA_OAEP]->doFinal(source, 0, 256, destination, 0); }, kPlatformError);
  EXPECT_EQ(toBytes(destination), Bytes(300, 0));
  EXPECT_EQ(c.doFinal(source, 0, 256, destination, 260), 40);
  c.init(pair->getPrivate(), Cipher::MODE_ENCRYPT);
  expectReason([&] { c.doFinal(source, 0, 20, destination, 45); }, kOut);  // 256 bytes out from 45

  // No key, an unknown algorithm.
  c.init(nullptr, Cipher::MODE_ENCRYPT);
  EXPECT_EQ(c.doFinal(source, 0, 20, destination, 0), 0);
  ciphers[7] = runtime.createCipher(7);
  expectReason([&] { ciphers[7]->doFinal(source, 0, 16, destination, 0); }, CryptoException::NO_SUCH_ALGORITHM);
}

TEST(DesCipherTest, KnownAnswersFromAZeroIvAndRefusalsThatWriteNothing) {
  ProbeRuntime runtime;
  const std::map<std::string, Bytes> v = readHexVectors("crypto/tdes.vec");
  auto* key = static_cast<CNGDESKey*>(runtime.buildKey(KeyBuilder::TYPE_DES, 192, false));
  key->setKey(toArray(runtime, v.at("Key")), 0);
  Cipher* cipher = runtime.createCipher(Cipher::ALG_DES_CBC_NOPAD);
  auto run = [&](std::uint8_t mode, const Bytes& input) {
    cipher->init(key, mode);
    const ByteArray source = toArray(runtime, input);
    ByteArray destination(static_cast<std::uint16_t>(input.size() + 4), runtime.persistentMemory(), JC_HERE("Des"));
    return toBytes(destination, 2, cipher->doFinal(source, 0, source.length(), destination, 2));
  };
  EXPECT_EQ(run(Cipher::MODE_ENCRYPT, v.at("Plain")), v.at("Cipher"));
  EXPECT_EQ(run(0, v.at("Cipher")), v.at("Plain"));  // every mode but 2 deciphers
  // The first block alone deciphers to the ECB decryption: no IV was left from before.
  EXPECT_EQ(run(Cipher::MODE_DECRYPT, Bytes(v.at("Cipher").begin(), v.at("Cipher").begin() + 8)),
            v.at("FirstBlockEcbDecrypt"));

  cipher->init(key, Cipher::MODE_ENCRYPT);
  const ByteArray source = toArray(runtime, v.at("Plain"));  // 32 bytes
  ByteArray destination(32, runtime.persistentMemory(), JC_HERE("Des"));
  expectReason([&] { cipher->doFinal(source, 0, 12, destination, 0); }, kPlatformError);
  expectReason([&] { cipher->doFinal(source, 8, 32, destination, 0); }, kOut);
  expectReason([&] { cipher->doFinal(source, 0, 32, destination, 8); }, kOut);
  expectReason([&] { cipher->doFinal(source, 0xFFF8, 16, destination, 0); }, kOut);
  expectReason([&] { key->setKey(source, 9); }, kOut);
  expectReason([&] { key->getKey(destination, 9); }, kOut);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));
  key->clearKey();  // without a usable key nothing comes out
  EXPECT_EQ(key->keyBytes(), (std::array<std::uint8_t, 24>{}));
  EXPECT_EQ(cipher->doFinal(source, 0, 32, destination, 0), 0);
  destroyPersistent(runtime, cipher, JC_HERE("DesCipherTest"));
  destroyPersistent(runtime, static_cast<Key*>(key), JC_HERE("DesCipherTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 2u);  // source and destination
}

TEST(RandomDataTest, FillsExactlyTheRangeAndRejectsOthers) {
  JCRuntimeImpl runtime;
  RandomData& random = runtime.getRandomData(1);
  ByteArray wide(64, runtime.persistentMemory(), JC_HERE("RandomDataTest"));
  random.generateData(wide, 16, 32);
  EXPECT_EQ(toBytes(wide, 0, 16), Bytes(16, 0));
  EXPECT_EQ(toBytes(wide, 48, 16), Bytes(16, 0));
  EXPECT_NE(toBytes(wide, 16, 32), Bytes(32, 0));  // equal with probability 2^-256
  expectReason([&] { random.generateData(wide, 33, 32); }, CryptoException::ILLEGAL_VALUE);
}

}  // namespace
}  // namespace quillon::test
