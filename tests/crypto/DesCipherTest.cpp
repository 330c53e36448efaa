// Triple-DES CBC with a zero IV and no padding, against the openssl command line, and random data.
#include <gtest/gtest.h>

#include "ProbeRuntime.h"
#include "crypto/CNGDESKey.h"
#include "jc/Cipher.h"
#include "jc/PersistentObject.h"

namespace quillon::test {
namespace {

class DesCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key = static_cast<CNGDESKey*>(runtime.buildKey(KeyBuilder::TYPE_DES, 192, false));
    key->setKey(toArray(runtime, v.at("Key")), 0);
    cipher = runtime.createCipher(Cipher::ALG_DES_CBC_NOPAD);
  }
  void TearDown() override {
    destroyPersistent(runtime, cipher, JC_HERE("DesCipherTest"));
    destroyPersistent(runtime, static_cast<Key*>(key), JC_HERE("DesCipherTest"));
    EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  }

  Bytes run(std::uint8_t mode, const Bytes& input) {
    cipher->init(key, mode);
    const ByteArray source = toArray(runtime, input);
    ByteArray destination(static_cast<std::uint16_t>(input.size() + 4), runtime.persistentMemory(), JC_HERE("Des"));
    const std::uint16_t n = cipher->doFinal(source, 0, source.length(), destination, 2);
    return toBytes(destination, 2, n);
  }
  Bytes slice(const char* name, std::size_t from, std::size_t to) {
    return Bytes(v.at(name).begin() + static_cast<std::ptrdiff_t>(from),
                 v.at(name).begin() + static_cast<std::ptrdiff_t>(to));
  }

  JCRuntimeImpl runtime;
  const std::map<std::string, Bytes> v = readHexVectors("crypto/tdes.vec");
  CNGDESKey* key = nullptr;
  Cipher* cipher = nullptr;
};

TEST_F(DesCipherTest, MatchesOpenSslAndStartsEveryCallFromAZeroIv) {
  EXPECT_EQ(run(Cipher::MODE_ENCRYPT, v.at("Plain")), v.at("Cipher"));
  EXPECT_EQ(run(Cipher::MODE_DECRYPT, v.at("Cipher")), v.at("Plain"));
  EXPECT_EQ(run(0, v.at("Cipher")), v.at("Plain"));  // every mode but 2 deciphers
  // The first block alone deciphers to the ECB decryption: no IV was left from before.
  EXPECT_EQ(run(Cipher::MODE_DECRYPT, slice("Cipher", 0, 8)), v.at("FirstBlockEcbDecrypt"));
  EXPECT_NE(run(Cipher::MODE_DECRYPT, slice("Cipher", 8, 16)), slice("Plain", 8, 16));  // not chained to the first
}

TEST_F(DesCipherTest, FailuresAndRangesWriteNothing) {
  cipher->init(key, Cipher::MODE_ENCRYPT);
  const ByteArray source = toArray(runtime, v.at("Plain"));  // 32 bytes
  ByteArray destination(32, runtime.persistentMemory(), JC_HERE("Des"));
  expectReason([&] { cipher->doFinal(source, 0, 12, destination, 0); }, CryptoException::PLATFORM_ERROR);
  expectReason([&] { cipher->doFinal(source, 8, 32, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { cipher->doFinal(source, 0, 32, destination, 8); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { cipher->doFinal(source, 0xFFF8, 16, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));

  ByteArray inPlace = toArray(runtime, v.at("Plain"));
  EXPECT_EQ(cipher->update(inPlace, 0, 32, inPlace, 0), 32);
  EXPECT_EQ(toBytes(inPlace), v.at("Cipher"));

  // The key's own ranges, and without a usable key nothing comes out.
  constexpr auto kOut = SystemException::INDEX_OUT_OF_BOUNDS;
  expectReason([&] { key->setKey(source, 9); }, kOut);
  EXPECT_EQ(key->getKey(destination, 8), 24);
  EXPECT_EQ(toBytes(destination, 8, 24), v.at("Key"));
  expectReason([&] { key->getKey(destination, 9); }, kOut);
  destination.zero(0, 32);
  key->clearKey();
  EXPECT_EQ(key->keyBytes(), (std::array<std::uint8_t, 24>{}));
  EXPECT_EQ(cipher->doFinal(source, 0, 32, destination, 0), 0);
  cipher->init(nullptr, Cipher::MODE_ENCRYPT);
  EXPECT_EQ(cipher->doFinal(source, 0, 32, destination, 0), 0);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));
}

TEST(RandomDataTest, FillsExactlyTheRangeAndRejectsOthers) {
  JCRuntimeImpl runtime;
  RandomData& random = runtime.getRandomData(1);
  ByteArray wide(64, runtime.persistentMemory(), JC_HERE("RandomDataTest"));
  random.generateData(wide, 16, 32);
  const Bytes first = toBytes(wide, 16, 32);
  EXPECT_EQ(toBytes(wide, 0, 16), Bytes(16, 0));
  EXPECT_EQ(toBytes(wide, 48, 16), Bytes(16, 0));
  random.generateData(wide, 16, 32);
  EXPECT_NE(toBytes(wide, 16, 32), first);  // equal with probability 2^-256
  expectReason([&] { random.generateData(wide, 40, 32); }, CryptoException::ILLEGAL_VALUE);
  EXPECT_THROW(random.generateData(wide, 0xFFFF, 2), CryptoException);
  random.setSeed(wide, 0xFFFF, 0xFFFF);  // seeds are accepted and ignored, whatever their range
}

}  // namespace
}  // namespace quillon::test
