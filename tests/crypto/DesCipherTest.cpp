#include <gtest/gtest.h>

#include "CryptoTestSupport.h"
#include "jc/Cipher.h"
#include "jc/Key.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"

namespace quillon {
namespace {

using test::Bytes;
using test::expectReason;
using test::toArray;
using test::toBytes;

class DesCipherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    key = static_cast<DESKey*>(runtime.buildKey(KeyBuilder::TYPE_DES, 192, false));
    const ByteArray bytes = toArray(runtime, v.at("Key"));
    key->setKey(bytes, 0);
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
    EXPECT_EQ(destination[0], 0);
    return toBytes(destination, 2, n);
  }

  JCRuntimeImpl runtime;
  const test::Vectors v = test::loadVectors("tdes.vec");
  DESKey* key = nullptr;
  Cipher* cipher = nullptr;
};

TEST_F(DesCipherTest, MatchesOpenSslVector) {
  test::TraceCapture capture;
  EXPECT_EQ(run(Cipher::MODE_ENCRYPT, v.at("Plain")), v.at("Cipher"));
  EXPECT_EQ(run(Cipher::MODE_DECRYPT, v.at("Cipher")), v.at("Plain"));
  EXPECT_EQ(run(0, v.at("Cipher")), v.at("Plain"));  // every mode but 2 deciphers
  EXPECT_EQ(capture.sink().count("CNGCipherFull::doDES("), 3u);
}

TEST_F(DesCipherTest, EveryCallStartsFromAZeroIv) {
  const Bytes& c = v.at("Cipher");
  const Bytes first = run(Cipher::MODE_DECRYPT, Bytes(c.begin(), c.begin() + 16));
  EXPECT_EQ(Bytes(first.begin(), first.begin() + 8), v.at("FirstBlockEcbDecrypt"));
  EXPECT_EQ(first, Bytes(v.at("Plain").begin(), v.at("Plain").begin() + 16));
  // The second block on its own is not chained to the first.
  const Bytes second = run(Cipher::MODE_DECRYPT, Bytes(c.begin() + 8, c.begin() + 16));
  EXPECT_NE(second, Bytes(v.at("Plain").begin() + 8, v.at("Plain").begin() + 16));
  EXPECT_EQ(run(Cipher::MODE_ENCRYPT, v.at("Plain")), run(Cipher::MODE_ENCRYPT, v.at("Plain")));
}

TEST_F(DesCipherTest, FailuresAndRanges) {
  test::TraceCapture capture;
  cipher->init(key, Cipher::MODE_ENCRYPT);
  const ByteArray source = toArray(runtime, v.at("Plain"));  // 32 bytes
  ByteArray destination(32, runtime.persistentMemory(), JC_HERE("Des"));

  expectReason([&] { cipher->doFinal(source, 0, 12, destination, 0); }, CryptoException::PLATFORM_ERROR);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));  // a partial block writes nothing
  EXPECT_GE(capture.sink().count("EVP_CipherFinal_ex (encrypt) failed"), 1u);

  expectReason([&] { cipher->doFinal(source, 8, 32, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { cipher->doFinal(source, 0, 32, destination, 8); }, SystemException::INDEX_OUT_OF_BOUNDS);
  expectReason([&] { cipher->doFinal(source, 0xFFF8, 16, destination, 0); }, SystemException::INDEX_OUT_OF_BOUNDS);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));
  EXPECT_EQ(cipher->doFinal(source, 0, 0, destination, 32), 0);

  // In place.
  ByteArray inPlace = toArray(runtime, v.at("Plain"));
  EXPECT_EQ(cipher->update(inPlace, 0, 32, inPlace, 0), 32);
  EXPECT_EQ(toBytes(inPlace), v.at("Cipher"));

  key->clearKey();
  EXPECT_EQ(cipher->doFinal(source, 0, 32, destination, 0), 0);
  cipher->init(nullptr, Cipher::MODE_ENCRYPT);
  EXPECT_EQ(cipher->doFinal(source, 0, 32, destination, 0), 0);
  EXPECT_EQ(toBytes(destination), Bytes(32, 0));
}

}  // namespace
}  // namespace quillon
