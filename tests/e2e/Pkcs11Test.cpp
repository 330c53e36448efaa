// The card through OpenSC's PKCS#11 module, as a browser or ssh would use it: the
// token is listed, the PIN logs in, an RSA-2048 key pair is generated on the
// card, its signature verifies with openssl, it deciphers what openssl encrypted
// for its public key, and a certificate stored for it is listed and read back
// intact by pkcs15-tool. Several programs signing at once each get their own
// valid signatures.
//
// OpenSC's GIDS emulation numbers keys by their container (the first key is ID
// 00, whatever ID was asked for), and its GIDS driver offers PKCS #1 v1.5 only;
// the card's OAEP deciphering is shown with the commands themselves.
#include <cstring>
#include <filesystem>
#include <regex>
#include <thread>

#include "CardUserTest.h"
#include "base/Hex.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

class Pkcs11Test : public CardUserTest {
 protected:
  // Encrypts `plain` for the public key in pub.der with openssl; the cryptogram.
  std::string encryptForCard(const std::string& plain, const std::string& padding) {
    world.writeFile("plain", plain);
    const ProcessResult r =
        run({"openssl", "pkeyutl", "-encrypt", "-pubin", "-keyform", "DER", "-inkey", file("pub.der").string(), "-in",
             file("plain").string(), "-out", file("cryptogram").string(), "-pkeyopt", "rsa_padding_mode:" + padding});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    return readFile("cryptogram");
  }
};

constexpr const char* kSecret = "the card's secret, sealed by openssl";

TEST_F(Pkcs11Test, KeyPairSignatureDecipheringAndCertificate) {
  initCard();
  ProcessResult r = pkcs11({"--list-token-slots"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find(CardWorld::kReaderName), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("token label        : GIDS card"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("login required, token initialized, PIN initialized"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("serial num         : 8899aabbccddeeff"), std::string::npos) << r.output;
  r = pkcs11({"--login", "--pin", kPin, "--list-objects"});
  EXPECT_EQ(r.exitCode, 0) << r.output;

  r = pkcs11({"--login", "--pin", kPin, "--keypairgen", "--key-type", "rsa:2048", "--label", "e2e-key"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Public Key Object; RSA 2048 bits"), std::string::npos) << r.output;
  r = pkcs11({"--read-object", "--type", "pubkey", "--id", "00", "--output-file", file("pub.der").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = run({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", file("pub.der").string(), "-noout", "-text"});
  EXPECT_NE(r.output.find("Public-Key: (2048 bit)"), std::string::npos) << r.output;

  // Signing: the module hashes, the card pads and signs.
  world.writeFile("message", "a message signed on a card on a stick\n");
  world.writeFile("forged", "a message signed on a card on a stick!\n");
  r = pkcs11({"--login", "--pin", kPin, "--sign", "--mechanism", "SHA256-RSA-PKCS", "--id", "00", "--input-file",
              file("message").string(), "--output-file", file("signature").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(readFile("signature").size(), 256u);
  r = opensslVerify("pub.der", "signature", "message");
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Verified OK"), std::string::npos) << r.output;
  EXPECT_NE(opensslVerify("pub.der", "signature", "forged").exitCode, 0);

  // Deciphering with PKCS #1 v1.5 padding.
  encryptForCard(kSecret, "pkcs1");
  r = pkcs11({"--login", "--pin", kPin, "--decrypt", "--mechanism", "RSA-PKCS", "--id", "00", "--input-file",
              file("cryptogram").string(), "--output-file", file("deciphered").string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(readFile("deciphered"), kSecret);

  // OAEP (SHA-1, openssl's default): through the module where OpenSC offers it;
  // otherwise the card does it when asked directly, with the key OpenSC made.
  const std::string cryptogram = encryptForCard(kSecret, "oaep");
  if (pkcs11({"--list-mechanisms"}).output.find("RSA-PKCS-OAEP") != std::string::npos) {
    r = pkcs11({"--login", "--pin", kPin, "--decrypt", "--mechanism", "RSA-PKCS-OAEP", "--hash-algorithm", "SHA-1",
                "--mgf", "MGF1-SHA1", "--id", "00", "--input-file", file("cryptogram").string(), "--output-file",
                file("deciphered").string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(readFile("deciphered"), kSecret);
  } else {
    ASSERT_EQ(cryptogram.size(), 256u);
    const std::string all = hex::encode(std::vector<std::uint8_t>(cryptogram.begin(), cryptogram.end()));
    ProcessResult exchange;
    const std::vector<std::string> sws =
        sendApdus({kSelectGidsApdu, "00 20 00 80 04 31 32 33 34", "00 22 41 B8 06 80 01 87 84 01 81",
                   "10 2A 80 86 FF " + all.substr(0, 510), "00 2A 80 86 01 " + all.substr(510) + " 00"},
                  &exchange);
    EXPECT_EQ(sws, (std::vector<std::string>{"9000", "9000", "9000", "9000", "9000"})) << exchange.output;
    EXPECT_EQ(lastReceivedData(exchange.output),
              hex::encode(std::vector<std::uint8_t>(kSecret, kSecret + std::strlen(kSecret))));
  }

  // A certificate for the key: stored, listed and read back byte for byte.
  r = run({"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", file("issuer.pem").string(), "-subj",
           "/CN=Quillon end-to-end", "-days", "2", "-outform", "DER", "-out", file("cert.der").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = run({"openssl", "x509", "-inform", "DER", "-in", file("cert.der").string(), "-noout", "-serial"});
  std::smatch match;
  ASSERT_TRUE(std::regex_search(r.output, match, std::regex("serial=([0-9A-F]+)"))) << r.output;
  const std::string serial = match[1].str();
  r = pkcs11({"--login", "--pin", kPin, "--write-object", file("cert.der").string(), "--type", "cert", "--id", "00",
              "--label", "e2e-cert"});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Created certificate"), std::string::npos) << r.output;
  r = run({"pkcs15-tool", "--list-certificates"});
  EXPECT_NE(r.output.find("X.509 Certificate"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find(serial), std::string::npos) << r.output;
  r = run({"pkcs15-tool", "--read-certificate", "00", "--output", file("back.pem").string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  r = run({"openssl", "x509", "-in", file("back.pem").string(), "-outform", "DER", "-out", file("back.der").string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(readFile("back.der"), readFile("cert.der"));
}

TEST_F(Pkcs11Test, ProgramsSigningAtOnceEachGetValidSignatures) {
  initCard();
  ProcessResult r = pkcs11({"--login", "--pin", kPin, "--keypairgen", "--key-type", "rsa:2048", "--label", "shared"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = pkcs11({"--read-object", "--type", "pubkey", "--id", "00", "--output-file", file("pub.der").string()});
  ASSERT_EQ(r.exitCode, 0) << r.output;

  constexpr int kPrograms = 3;
  constexpr int kRounds = 3;
  std::vector<std::string> failures[kPrograms];
  {
    std::vector<std::jthread> programs;
    for (int p = 0; p < kPrograms; ++p) {
      world.writeFile("message" + std::to_string(p), "message of program " + std::to_string(p) + "\n");
      programs.emplace_back([this, p, &failures] {
        const std::string n = std::to_string(p);
        for (int round = 0; round < kRounds; ++round) {
          const std::string signature = "signature" + n + "-" + std::to_string(round);
          const ProcessResult s =
              pkcs11({"--login", "--pin", kPin, "--sign", "--mechanism", "SHA256-RSA-PKCS", "--id", "00",
                      "--input-file", file("message" + n).string(), "--output-file", file(signature).string()});
          const ProcessResult v = opensslVerify("pub.der", signature, "message" + n);
          if (s.exitCode != 0 || v.output.find("Verified OK") == std::string::npos)
            failures[p].push_back(s.output + v.output);
        }
      });
    }
  }
  for (int p = 0; p < kPrograms; ++p)
    EXPECT_TRUE(failures[p].empty()) << "program " << p << ": " << failures[p].front();
}

}  // namespace
}  // namespace quillon::test
