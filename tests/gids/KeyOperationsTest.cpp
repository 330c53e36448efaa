// Key files, key generation, key import, signing and deciphering, driven as a
// terminal (and OpenSC) drives them, with OpenSSL checking every result.
#include <openssl/rsa.h>

#include "CardFixture.h"
#include "OpenSslPeer.h"
#include "base/Hex.h"
#include "gids/TransmitManager.h"

namespace quillon::test {
namespace {

class KeyOperationsTest : public CardFixture {
 protected:
  void SetUp() override {
    personalise();
    ASSERT_EQ(sw("002000800431323334"), 0x9000);
    ASSERT_EQ(sw(kCreateKeyFile), 0x9000);
    ASSERT_EQ(sw("0044000000"), 0x9000);
  }

  // Sends a command whose data may exceed one APDU, as a chain of 255-byte pieces.
  Response sendChained(const std::string& header4, const Bytes& data, const std::string& le = "") {
    Response r;
    for (std::size_t at = 0; at < data.size(); at += 255) {
      const std::size_t n = std::min<std::size_t>(255, data.size() - at);
      const bool last = at + n == data.size();
      const auto lc = static_cast<std::uint8_t>(n);
      std::string command = (last ? "00" : "10") + header4.substr(2) + hex::encode({&lc, 1}) +
                            hex::encode({data.data() + at, n}) + (last ? le : "");
      r = send(command);
      if (!last && r.sw != 0x9000) return r;
    }
    return r;
  }

  // Reads an answer to its end with GET RESPONSE.
  Response readAll(Response r) {
    while ((r.sw & 0xFF00) == 0x6100) {
      const Response next = send("00C0000000");
      r.data += next.data;
      r.sw = next.sw;
    }
    return r;
  }

  // Modulus and exponent of a 7F49 public key answer.
  static void parsePublicKey(const Bytes& answer, Bytes& modulus, Bytes& exponent) {
    std::size_t at = 2;
    auto length = [&](std::size_t& p) -> std::size_t {
      const std::uint8_t b = answer.at(p++);
      if (b < 0x80) return b;
      std::size_t n = 0;
      for (int i = 0; i < (b & 0x7F); ++i) n = n << 8 | answer.at(p++);
      return n;
    };
    length(at);
    EXPECT_EQ(answer.at(at++), 0x81);
    const std::size_t m = length(at);
    modulus.assign(answer.begin() + static_cast<std::ptrdiff_t>(at), answer.begin() + static_cast<std::ptrdiff_t>(at + m));
    at += m;
    EXPECT_EQ(answer.at(at++), 0x82);
    const std::size_t e = length(at);
    exponent.assign(answer.begin() + static_cast<std::ptrdiff_t>(at), answer.begin() + static_cast<std::ptrdiff_t>(at + e));
  }

  ossl::PkeyPtr readPublicKey() {
    const Response r = readAll(send("00CB3FFF0A7008840181A5037F498000"));
    EXPECT_EQ(r.sw, 0x9000);
    Bytes modulus, exponent;
    parsePublicKey(fromHex(r.data), modulus, exponent);
    return rsaPublicKey(modulus, exponent);
  }

  // Imports a DER private key into B081 through a chained PUT DATA 3FFF.
  std::uint16_t importRsa(EVP_PKEY* key) {
    const Bytes der = rsaPrivateKeyDer(key);
    auto tlv = [](std::uint8_t tag, const Bytes& value) {
      Bytes out{tag};
      if (value.size() < 0x80) {
        out.push_back(static_cast<std::uint8_t>(value.size()));
      } else {
        out.push_back(0x82);
        out.push_back(static_cast<std::uint8_t>(value.size() >> 8));
        out.push_back(static_cast<std::uint8_t>(value.size()));
      }
      out.insert(out.end(), value.begin(), value.end());
      return out;
    };
    Bytes a5 = fromHex("830102");
    const Bytes key87 = tlv(0x87, der);
    a5.insert(a5.end(), key87.begin(), key87.end());
    Bytes inner = fromHex("840181");
    const Bytes crt = tlv(0xA5, a5);
    inner.insert(inner.end(), crt.begin(), crt.end());
    return sendChained("00DB3FFF", tlv(0x70, inner)).sw;
  }
};

TEST_F(KeyOperationsTest, GeneratedKeySignsWhatOpenSslVerifies) {
  Response r = send("00470000" "08" "AC06800107830181");
  EXPECT_EQ(r.sw, 0x6100);  // the whole answer waits for GET RESPONSE
  EXPECT_EQ(r.data, "");
  r = readAll(r);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.substr(0, 18), "7F4982010981820100");
  EXPECT_EQ(r.data.size(), 2u * 270);
  EXPECT_EQ(r.data.substr(r.data.size() - 10), "8203010001");
  const ossl::PkeyPtr publicKey = readPublicKey();

  ASSERT_EQ(sw("00224 1B6 06 800157 840181"), 0x9000);
  const Bytes info = sha256DigestInfo("message to sign");
  const auto lc = static_cast<std::uint8_t>(info.size());
  r = send("002A9E9A" + hex::encode({&lc, 1}) + toHex(info) + "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_TRUE(verifySha256(publicKey.get(), "message to sign", fromHex(r.data)));

  // A block the terminal padded itself is signed as it is.
  ASSERT_EQ(sw("002241B606800117840181"), 0x9000);
  const Bytes block = pkcs1Type1Pad(info, 256);
  r = readAll(sendChained("002A9E9A", block, "00"));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(rsaPublicRaw(publicKey.get(), fromHex(r.data)), block);
}

TEST_F(KeyOperationsTest, PublicKeyAnswerShapes) {
  Response r = readAll(send("0047000008AC06800106830181"));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 140);
  EXPECT_EQ(r.data.substr(0, 14), "7F498188818180");
  EXPECT_EQ(r.data.substr(r.data.size() - 10), "8203010001");
  // A 2048-bit answer to GET DATA with Le 00: 256 bytes, 61 0E, then 14 bytes.
  ASSERT_EQ(readAll(send("0047000008AC06800107830181")).sw, 0x9000);
  r = send("00CB3FFF0A7008840181A5037F498000");
  EXPECT_EQ(r.sw, 0x610E);
  EXPECT_EQ(r.data.size(), 2u * 256);
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 14);
}

TEST_F(KeyOperationsTest, GenerationRefusals) {
  EXPECT_EQ(sw("0047000108AC06800107830181"), 0x6A86);
  EXPECT_EQ(sw("0047000008AC06800105830181"), 0x6A81);  // unknown size, after file and access checks
  EXPECT_EQ(sw("0047000008AC06800107830182"), 0x6984);  // no key file B082
  EXPECT_EQ(sw("0047000007AC068001078301"), 0x6984);    // not TLV
  EXPECT_EQ(sw("0047000008AC05800107830181"), 0x6984);  // inner length does not fill the data
  EXPECT_EQ(sw("00CB3FFF0A7008840181A5037F498000"), 0x6985);  // no key pair yet
}

TEST_F(KeyOperationsTest, ImportedKeyDeciphersWhatOpenSslEncrypted) {
  const ossl::PkeyPtr key = generateRsa(2048);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  const Bytes secret = fromHex("00112233445566778899AABBCCDDEEFF");

  ASSERT_EQ(sw("002241B806800147840181"), 0x9000);
  Response r = sendChained("002A8086", rsaEncrypt(key.get(), secret, RSA_PKCS1_PADDING), "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(secret));

  ASSERT_EQ(sw("002241B806800187840181"), 0x9000);
  r = sendChained("002A8086", rsaEncrypt(key.get(), secret, RSA_PKCS1_OAEP_PADDING), "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(secret));

  // Raw: the whole 256-byte block comes back.
  ASSERT_EQ(sw("002241B806800107840181"), 0x9000);
  Bytes block(256, 0x00);
  block[255] = 0x42;
  const Bytes cryptogram = rsaEncrypt(key.get(), block, RSA_NO_PADDING);
  r = sendChained("002A8086", cryptogram, "00");
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(block));

  // The public key read back is OpenSSL's.
  Bytes modulus, exponent;
  parsePublicKey(fromHex(readAll(send("00CB3FFF0A7008840181A5037F498000")).data), modulus, exponent);
  EXPECT_EQ(modulus, rsaModulus(key.get()));
}

TEST_F(KeyOperationsTest, DecipherRefusals) {
  const ossl::PkeyPtr key = generateRsa(2048);
  EXPECT_EQ(sw("002A808603010203"), 0x6985);  // no security environment yet
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  ASSERT_EQ(sw("002241B806800147840181"), 0x9000);
  EXPECT_EQ(sendChained("002A8086", Bytes(255, 0x01)).sw, 0x6700);
  const Bytes garbage(256, 0x01);  // no valid PKCS #1 padding inside
  EXPECT_EQ(sendChained("002A8086", garbage).sw, 0x6A80);
  // Three chained pieces of 200 bytes exceed the 530-byte buffer; the chain is then over.
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x9000);
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x9000);
  EXPECT_EQ(sw("102A8086C8" + std::string(400, '1')), 0x6A84);
  EXPECT_EQ(sw("00A4000C023FFF"), 0x9000);
  EXPECT_EQ(sw("002A80A000"), 0x6A86);
}

TEST_F(KeyOperationsTest, SecurityEnvironmentRules) {
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);         // no MSE yet
  EXPECT_EQ(sw("0022F3B600"), 0x6984);           // restore needs key file B0FF
  EXPECT_EQ(sw("0022F2B600"), 0x6A81);
  EXPECT_EQ(sw("002241B60480015784"), 0x6984);  // not TLV
  EXPECT_EQ(sw("002241B606800157840182"), 0x6984);  // no key file B082
  EXPECT_EQ(sw("002241B606800127840181"), 0x6984);  // no template allows 27
  EXPECT_EQ(sw("002241B607800257 00840181"), 0x6984);  // length byte not 01
  // An algorithm nibble neither 1 nor 5 cannot sign: B8 47 allows MSE for deciphering.
  ASSERT_EQ(sw("002241B806800147840181"), 0x9000);
  EXPECT_EQ(sw("002A9E9A0100"), 0x6985);  // algorithm 4x does not sign
}

TEST_F(KeyOperationsTest, ImportRefusalsKeepTheOldKeyAndFreeTheBuffer) {
  const ossl::PkeyPtr key = generateRsa(1024);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(sw("00DB3FFF0B7009840182A504830102 8700"), 0x6984);  // no key file B082
  EXPECT_EQ(sw("00DB3FFF0B7009840181A504840101 8700"), 0x6A81);  // 84 other than 0
  EXPECT_EQ(sw("00DB3FFF0B7009840181A5048301038700"), 0x6984);   // unknown kind
  EXPECT_EQ(sw("00DB3FFF0D700B840181A506830102870130"), 0x6984);  // not a DER key
  EXPECT_EQ(sw("00DB3FFF05 7003 8402 81"), 0x6984);               // first element's length not 1
  // The old key is intact.
  EXPECT_EQ(rsaModulus(readPublicKey().get()), rsaModulus(key.get()));
  // An import that fails after gathering a chain starts the next import afresh.
  EXPECT_EQ(sw("10DB3FFF02 7082"), 0x9000);
  EXPECT_EQ(sw("00DB3FFF01 00"), 0x6984);
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
  ASSERT_EQ(importRsa(key.get()), 0x9000);
  EXPECT_EQ(applet->transmit().getFlashBuffer().length(), 0);
}

TEST_F(KeyOperationsTest, GeneratesLargeKeysSlow) {
  // 3072 bits: 7F49 82 0189, 81 82 0180, the modulus, 82 03 010001.
  Response r = readAll(send("0047000008AC06800108830181"));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * 398);
  EXPECT_EQ(r.data.substr(0, 18), "7F4982018981820180");
  // 4096 bits: 526 bytes, which still fit the answer buffer; they come in three pieces.
  r = send("0047000008AC06800109830181");
  EXPECT_EQ(r.sw, 0x6100);
  r = send("00C0000000");
  EXPECT_EQ(r.sw, 0x6100);
  EXPECT_EQ(r.data.size(), 2u * 256);
  r = readAll(r);
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data.size(), 2u * (526 - 256) + 2u * 256);
  // The new key deciphers what OpenSSL encrypted for it: a 512-byte answer in pieces.
  const ossl::PkeyPtr publicKey = readPublicKey();
  ASSERT_EQ(sw("002241B806800107840181"), 0x9000);
  Bytes block(512, 0x00);
  block[511] = 0x24;
  r = readAll(sendChained("002A8086", rsaEncrypt(publicKey.get(), block, RSA_NO_PADDING), "00"));
  ASSERT_EQ(r.sw, 0x9000);
  EXPECT_EQ(r.data, toHex(block));
}

}  // namespace
}  // namespace quillon::test
