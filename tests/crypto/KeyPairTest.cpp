// Key pairs: generated pairs used as a host would use them, a failed generation
// traced, and a pair's state-document round trip keeping every field.
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstring>
#include <deque>

#include "ProbeRuntime.h"
#include "crypto/CNGKeyPair.h"
#include "jc/IArchive.h"
#include "jc/PersistentObject.h"
#include "support/CapturingSink.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

using Component = CNGRSAPrivateCrtKey::Component;
constexpr Component kComponents[] = {Component::P, Component::Q, Component::DP1, Component::DQ1, Component::PQ};

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
  EXPECT_EQ(priv->publicKey(), pub);
  EXPECT_EQ(toBytes(pub->exponent()), (Bytes{0x01, 0x00, 0x01}));
  ASSERT_EQ(pub->modulus().length(), (bits + 7) / 8);
  EXPECT_GE(pub->modulus()[0], 0x80);  // a full-size modulus
  for (Component c : kComponents) EXPECT_EQ(priv->component(c).length(), (bits + 15) / 16);

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

// 129 bytes of modulus, 65 of each prime: no component may lose a byte.
TEST(KeyPairTest, GeneratesPairsOfEvenAndOddModulusLengths) {
  generateAndUse(1024);
  generateAndUse(1032);
}

TEST(KeyPairTest, AFailedGenerationIsTracedAndLeavesTheKeys) {
  TraceCapture capture;
  JCRuntimeImpl runtime;
  KeyPair* pair = runtime.createKeyPair(2, 256);  // below what OpenSSL generates
  expectReason([&] { pair->genKeyPair(); }, CryptoException::PLATFORM_ERROR);
  EXPECT_GE(capture.sink().count("EVP_PKEY_CTX_set_rsa_keygen_bits failed"), 1u);
  EXPECT_FALSE(pair->getPublic()->isInitialized() || pair->getPrivate()->isInitialized());
  destroyPersistent(runtime, pair, JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
}

// Values by element path, written in order and read back in the same order.
class TapeArchive final : public IArchive {
 public:
  explicit TapeArchive(IJCRuntime& runtime) : runtime_(runtime) {}
  void rewind() { storing_ = false; }
  IJCRuntime& getRuntime() override { return runtime_; }
  bool isStoring() const override { return storing_; }
  void pushElem(const char* name) override { path_ += std::string("/") + name; }
  void popElem() override { path_.erase(path_.rfind('/')); }
  void io(const char* n, std::int32_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::int16_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::int8_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, bool& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::uint64_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::uint32_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::uint16_t& v) override { value(n, &v, sizeof v); }
  void io(const char* n, std::uint8_t& v) override { value(n, &v, sizeof v); }
  void ioBlob(std::vector<std::uint8_t>&) override { ADD_FAILURE() << "no blobs in a key pair"; }
  void ioRaw(std::uint8_t* data, std::size_t length) override { value("raw", data, length); }

 private:
  void value(const char* name, void* data, std::size_t size) {
    const std::string key = path_ + "@" + name;
    if (storing_) {
      tape_.emplace_back(key, Bytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size));
      return;
    }
    ASSERT_FALSE(tape_.empty()) << key;
    ASSERT_EQ(tape_.front().first, key);
    ASSERT_EQ(tape_.front().second.size(), size) << key;
    std::memcpy(data, tape_.front().second.data(), size);
    tape_.pop_front();
  }

  IJCRuntime& runtime_;
  bool storing_ = true;
  std::string path_;
  std::deque<std::pair<std::string, Bytes>> tape_;
};

TEST(KeyPairTest, TheStateDocumentRoundTripKeepsEveryField) {
  ProbeRuntime runtime;
  KeyPair* stored = runtime.createKeyPair(2, 1032);
  stored->genKeyPair();
  TapeArchive archive(runtime);
  stored->serialize(archive);
  archive.rewind();
  auto* loaded = dynamic_cast<CNGKeyPair*>(runtime.createKeyPair(2, 2048));
  loaded->serialize(archive);

  auto* original = dynamic_cast<CNGKeyPair*>(stored);
  EXPECT_EQ(loaded->size(), 1032);
  EXPECT_EQ(loaded->getPublic()->getSize(), 1032);
  EXPECT_EQ(toBytes(loaded->getPublic()->modulus()), toBytes(original->getPublic()->modulus()));
  EXPECT_EQ(toBytes(loaded->getPublic()->exponent()), toBytes(original->getPublic()->exponent()));
  EXPECT_EQ(loaded->getPrivate()->getSize(), 1032);
  EXPECT_TRUE(loaded->getPrivate()->isInitialized());
  for (Component c : kComponents)
    EXPECT_EQ(toBytes(loaded->getPrivate()->component(c)), toBytes(original->getPrivate()->component(c)));
  EXPECT_EQ(loaded->getPrivate()->publicKey(), loaded->getPublic());
  destroyPersistent(runtime, stored, JC_HERE("KeyPairTest"));
  destroyPersistent(runtime, static_cast<KeyPair*>(loaded), JC_HERE("KeyPairTest"));
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  runtime.expectKeyBlocksWiped();
}

}  // namespace
}  // namespace quillon::test
