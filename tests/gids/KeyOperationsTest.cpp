// Key files, key generation, key import, signing and deciphering, driven as a
// terminal (and OpenSC) drives them, with OpenSSL checking every result.
#include <openssl/core_names.h>
#include <openssl/rsa.h>

#include "gids/TransmitManager.h"
#include "support/CardFixture.h"
#include "support/OpenSslPeer.h"

namespace quillon::test {
namespace {

constexpr const char* kMseSign = "002241B606800157840181";     // PKCS #1 v1.5 added by the card
constexpr const char* kMseSignRaw = "002241B606800117840181";  // a block the terminal padded
constexpr const char* kMseDecipherRaw = "002241B806800107840181";

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

  // Sends a command whose data may exceed one APDU as a chain of 255-byte pieces,
  // then reads the whole answer.
  Response sendChained(const std::string& header, const Bytes& data, const std::string& le = "00") {
    Response r;
    for (std::size_t at = 0; at < data.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - at);
      const bool last = at + n == data.size();
      r = send((last ? "00" : "10") + header.substr(2) + toHex({static_cast<std::uint8_t>(n)}) +
               toHex(Bytes(data.begin() + static_cast<std::ptrdiff_t>(at),
                           data.begin() + static_cast<std::ptrdiff_t>(at + n))) +
               (last ? le : ""));
      if (!last && r.sw != 0x9000) return r;
    }
    return readAll(runtime, r);
  }
  // Imports a DER private key into B081 through a chained PUT DATA 3FFF.
  std::uint16_t importRsa(EVP_PKEY* key) {
    const Bytes crt = tlv(0xA5, concat(fromHex("830102"), tlv(0x87, rsaPrivateKeyDer(key))));
    return sendChained("00DB3FFF", tlv(0x70, concat(fromHex("840181"), crt)), "").sw;
  }
  ossl::PkeyPtr readPublicKey() {
    const Response r = sendAll(kReadPublicKey);
    EXPECT_EQ(r.sw, 0x9000);
    return publicKeyFromAnswer(r.data);
  }
  Bytes modulusOf(EVP_PKEY* key) { return rsaComponent(key, OSSL_PKEY_PARAM_RSA_N); }
};

TEST_F(KeyOperationsTest, GeneratedKeysAnswerInShapeAndSignWhatOpenSslVerifies) {
  EXPECT_EQ(sw(kReadPublicKey), 0x6985);  // no key pair yet
  EXPECT_EQ(sw("0047000108AC06800107830181"), 0x6A86);
  EXPECT_EQ(sw("0047000008AC06800105830181"), 0x6A81);  // unknown size, after file and access checks
  EXPECT_EQ(sw("0047000008AC06800107830182"), 0x6984);  // no key file B082
  EXPECT_EQ(sw("0047000007AC068001078301"), 0x6984);    // not TLV
  EXPECT_EQ(sw("0047000008AC05800107830181"), 0x6984);  // inner length does not fill the data

  Response r = send("0047000008AC06800107830181");
  EXPECT_EQ(r.sw, 0x6100);  // the whole answer waits for GET RESPONSE
  r = readAll(runtime, r);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 270);
  EXPECT_EQ(r.data.substr(0, 18), "7F4982010981820100");
  EXPECT_EQ(r.data.substr(r.data.size() - 10), "8203010001");
  // The 2048-bit answer to GET DATA with Le 00: 256 bytes, 61 0E, then 14 bytes.
  r = send(kReadPublicKey);
  EXPECT_EQ(r.sw, 0x610E);
  EXPECT_EQ(r.data.size(), 2u * 256);
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 14);
  const ossl::PkeyPtr publicKey = readPublicKey();

  ASSERT_EQ(sw(kMseSign), 0x9000);
  const Bytes info = sha256DigestInfo("message to sign");
  const Bytes hash(info.begin() + 19, info.end());
  r = send("002A9E9A33" + toHex(info) + "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_TRUE(verifyHash(publicKey.get(), "SHA256", hash, fromHex(r.data)));
  // A block the terminal padded itself is signed as it is.
  ASSERT_EQ(sw(kMseSignRaw), 0x9000);
  const Bytes block = pkcs1Type1Pad(info, 256);
  r = sendChained("002A9E9A", block);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(rsaPublicRaw(publicKey.get(), fromHex(r.data)), block);

  r = sendAll("0047000008AC06800106830181");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 140);
  EXPECT_EQ(r.data.substr(0, 14), "7F498188818180");
  EXPECT_EQ(r.data.substr(r.data.size() - 10), "8203010001");
}

TEST_F(KeyOperationsTest, SignatureInputsTheKeyCannotTakeAreWrongLengths) {
  ASSERT_EQ(sendAll("0047000008AC06800106830181").sw, 0x9000);  // 1024 bits: 128-byte blocks
  Bytes digestInfo = sha256DigestInfo("message");
  digestInfo.push_back(0x00);
  for (const char* mse : {kMseSign, kMseSignRaw}) {
    ASSERT_EQ(sw(mse), 0x9000);
    EXPECT_EQ(sendChained("002A9E9A", Bytes(124, 0x01)).sw, 0x9000) << mse;  // the longest that pads
    for (const std::size_t n : {125, 126, 127, 129, 247})
      EXPECT_EQ(sendChained("002A9E9A", Bytes(n, 0x01), "").sw, 0x6700) << mse << " " << n;
    EXPECT_EQ(sendChained("002A9E9A", digestInfo, "").sw, 0x6700) << mse;
  }
}

TEST_F(KeyOperationsTest, ImportedKeyDeciphersWhatOpenSslEncrypted) {
  const ossl::PkeyPtr key = generateRsa(2048);
  EXPECT_EQ(sw("002A808603010203"), 0x6985);  // no security environment yet
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
  // Raw: the whole 256-byte block comes back.
  ASSERT_EQ(sw(kMseDecipherRaw), 0x9000);
  Bytes block(256, 0x00);
  block[255] = 0x42;
  const Response r = sendChained("002A8086", rsaEncrypt(key.get(), block, RSA_NO_PADDING));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(block));

  // Three chained pieces of 200 bytes exceed the 530-byte buffer: the chain is aborted.
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x9000);
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x9000);
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x6A84);
  EXPECT_EQ(sw("00A4000C023FFF"), 0x9000);
  EXPECT_EQ(sw("002A80A000"), 0x6A86);
}

TEST_F(KeyOperationsTest, SecurityEnvironmentRulesAndADeletedKeyFileIsForgotten) {
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);  // no MSE yet
  EXPECT_EQ(sw("0022F3B600"), 0x6984);    // restore needs key file B0FF
  EXPECT_EQ(sw("0022F2B600"), 0x6A81);
  EXPECT_EQ(sw("002241B60480015784"), 0x6984);         // not TLV
  EXPECT_EQ(sw("002241B606800157840182"), 0x6984);     // no key file B082
  EXPECT_EQ(sw("002241B606800127840181"), 0x6984);     // no template allows 27
  EXPECT_EQ(sw("002241B607800257 00840181"), 0x6984);  // length byte not 01
  ASSERT_EQ(sw("002241B806800147840181"), 0x9000);
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);  // algorithm 4x does not sign
  ASSERT_EQ(sw(kMseSign), 0x9000);
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);  // a key file without a key pair

  ASSERT_EQ(sendAll("0047000008AC06800106830181").sw, 0x9000);
  ASSERT_EQ(sw(kMseSign), 0x9000);
  ASSERT_EQ(sw("00A4000C02B081"), 0x9000);
  ASSERT_EQ(sw("00E4000000"), 0x9000);
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);  // the chosen key went with its file
  EXPECT_EQ(sw("002000800431323334"), 0x9000);
}

TEST_F(KeyOperationsTest, ImportRefusalsKeepTheOldKeyAndFreeTheBuffer) {
  const ossl::PkeyPtr key = generateRsa(1024);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(sw("00DB3FFF0B7009840182A504830102 8700"), 0x6984);   // no key file B082
  EXPECT_EQ(sw("00DB3FFF0B7009840181A504840101 8700"), 0x6A81);   // 84 other than 0
  EXPECT_EQ(sw("00DB3FFF0B7009840181A5048301038700"), 0x6984);    // unknown kind
  EXPECT_EQ(sw("00DB3FFF0D700B840181A506830102870130"), 0x6984);  // not a DER key
  EXPECT_EQ(sw("00DB3FFF05 7003 8402 81"), 0x6984);               // first element's length not 1
  EXPECT_EQ(modulusOf(readPublicKey().get()), modulusOf(key.get()));
  // An import that fails after gathering a chain starts the next import afresh.
  EXPECT_EQ(sw("10DB3FFF02 7082"), 0x9000);
  EXPECT_EQ(sw("00DB3FFF01 00"), 0x6984);
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
}

TEST_F(KeyOperationsTest, GeneratesLargeKeysSlow) {
  // 3072 bits: 7F49 82 0189, 81 82 0180, the modulus, 82 03 010001.
  Response r = sendAll("0047000008AC06800108830181");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 398);
  EXPECT_EQ(r.data.substr(0, 18), "7F4982018981820180");
  // 4096 bits: 526 bytes, which still fit the answer buffer; they come in three pieces.
  EXPECT_EQ(send("0047000008AC06800109830181").sw, 0x6100);
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x6100);
  r = readAll(runtime, r);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 526);
  // The new key deciphers what OpenSSL encrypted for it: a 512-byte answer in pieces.
  const ossl::PkeyPtr publicKey = readPublicKey();
  ASSERT_EQ(sw(kMseDecipherRaw), 0x9000);
  Bytes block(512, 0x00);
  block[511] = 0x24;
  r = sendChained("002A8086", rsaEncrypt(publicKey.get(), block, RSA_NO_PADDING));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(block));
}

}  // namespace
}  // namespace quillon::test
