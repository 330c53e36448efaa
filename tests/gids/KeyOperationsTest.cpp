// Signing and deciphering with generated and imported keys, with OpenSSL checking
// every result (the refusals are sessions in tests/data/gids/keys.apdu).
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "gids/TransmitManager.h"
#include "support/ApduSession.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A BER-TLV element; values of 128 bytes or more get a two-byte length (82 hi lo).
Bytes tlv(std::uint8_t tag, const Bytes& value) {
  const auto n = static_cast<std::uint8_t>(value.size());
  return concat(value.size() < 0x80 ? Bytes{tag, n} : Bytes{tag, 0x82, static_cast<std::uint8_t>(value.size() >> 8), n},
                value);
}

class KeyOperationsTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    ASSERT_EQ(sw("002000800431323334"), 0x9000);
    ASSERT_EQ(sw(kCreateKeyFile), 0x9000);
    ASSERT_EQ(sw("0044000000"), 0x9000);
  }
  Response sendChained(const std::string& header, const Bytes& data, const std::string& le = "00") {
    return test::sendChained(runtime, header, data, le);
  }
  std::uint16_t importRsa(EVP_PKEY* key) {
    const Bytes crt = tlv(0xA5, concat(fromHex("830102"), tlv(0x87, rsaPrivateKeyDer(key))));
    return sendChained("00DB3FFF", tlv(0x70, concat(fromHex("840181"), crt)), "").sw;
  }
  ossl::PkeyPtr readPublicKey() { return publicKeyFromAnswer(sendAll(kReadPublicKey).data); }
  static Bytes modulusOf(EVP_PKEY* key) { return rsaComponent(key, OSSL_PKEY_PARAM_RSA_N); }
  // Deciphers a raw block of the key's size encrypted by OpenSSL.
  void expectRawDecipher(EVP_PKEY* key, std::size_t size) {
    ASSERT_EQ(sw("002241B806800107840181"), 0x9000);
    Bytes block(size, 0x00);
    block[size - 1] = 0x42;
    const Response r = sendChained("002A8086", rsaEncrypt(key, block, RSA_NO_PADDING));
    EXPECT_EQ(r.sw, 0x9000);
    EXPECT_EQ(r.data, toHex(block));
  }
};

TEST_F(KeyOperationsTest, GeneratedKeySignsWhatOpenSslVerifies) {
  ASSERT_EQ(sendAll("0047000008AC06800107830181").sw, 0x9000);
  const ossl::PkeyPtr publicKey = readPublicKey();
  // The card adds PKCS #1 v1.5 padding (57) ...
  ASSERT_EQ(sw("002241B606800157840181"), 0x9000);
  const Bytes info = sha256DigestInfo("message to sign");
  Response r = send("002A9E9A33" + toHex(info) + "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", Bytes(info.begin() + 19, info.end()), fromHex(r.data)));
  // ... or signs a block the terminal padded as it is (17).
  ASSERT_EQ(sw("002241B606800117840181"), 0x9000);
  const Bytes block = pkcs1Type1Pad(info, 256);
  r = sendChained("002A9E9A", block);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(rsaEncrypt(publicKey.get(), fromHex(r.data), RSA_NO_PADDING), block);
}

TEST_F(KeyOperationsTest, ImportedKeyDeciphersWhatOpenSslEncrypted) {
  const ossl::PkeyPtr key = generateRsa(2048);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(modulusOf(readPublicKey().get()), modulusOf(key.get()));
  const Bytes secret = fromHex("00112233445566778899AABBCCDDEEFF");
  for (const auto& [mse, padding] : {std::pair{"002241B806800147840181", RSA_PKCS1_PADDING},
                                     std::pair{"002241B806800187840181", RSA_PKCS1_OAEP_PADDING}}) {
    ASSERT_EQ(sw(mse), 0x9000);
    const Response r = sendChained("002A8086", rsaEncrypt(key.get(), secret, padding));
    EXPECT_EQ(r.sw, 0x9000) << mse;
    EXPECT_EQ(r.data, toHex(secret)) << mse;
  }
  EXPECT_EQ(sendChained("002A8086", Bytes(256, 0x01), "").sw, 0x6A80);  // no valid padding inside
  EXPECT_EQ(sendChained("002A8086", Bytes(255, 0x01), "").sw, 0x6700);
  expectRawDecipher(key.get(), 256);
}

TEST_F(KeyOperationsTest, ImportRefusalsKeepTheOldKeyAndFreeTheBuffer) {
  const ossl::PkeyPtr key = generateRsa(1024);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  runApduSession(runtime, "gids/keys-continued.apdu", "import refusals");
  EXPECT_EQ(modulusOf(readPublicKey().get()), modulusOf(key.get()));
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
}

TEST_F(KeyOperationsTest, GeneratesLargeKeysSlow) {
  runApduSession(runtime, "gids/keys-continued.apdu", "large keys");
  expectRawDecipher(readPublicKey().get(), 512);  // the 4096-bit key: a 512-byte answer in pieces
}

}  // namespace
}  // namespace quillon::test
