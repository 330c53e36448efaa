// The programs people log in and sign with, using the card through OpenSC's
// PKCS#11 module in the private-pcscd world (CardWorld): ssh and sshd, NSS (the
// certificate store of Firefox and Chromium) and p11-kit with GnuTLS's p11tool.
//
// Each test makes a card and has pkcs11-tool generate an RSA key pair on it;
// where a certificate is needed, certtool (GnuTLS, through p11-kit) signs a
// self-signed certificate with the card's private key, which pkcs11-tool then
// stores on the card: openssl checks that it is signed by the card's key.
#include <pwd.h>
#include <unistd.h>

#include "CardUserTest.h"
#include "SshServer.h"

namespace quillon::test {
namespace {

constexpr const char* kWrongPin = "9999";
// How OpenSC's module names the card's token, and the label of the key pair
// (generateKey) and the certificate.
constexpr const char* kToken = "GIDS card (UserPIN)";
constexpr const char* kTokenUrl = "pkcs11:token=GIDS%20card%20%28UserPIN%29";
constexpr const char* kLabel = "e2e";
// Where Debian's opensc-pkcs11 registers the module with p11-kit.
constexpr const char* kP11KitRegistration = "/usr/share/p11-kit/modules/opensc-pkcs11.module";

class CardClientTest : public CardUserTest {
 protected:
  // start(clients), then a card with a key pair (pub.der, pub.pem) and the PIN files.
  void startWithKey(std::vector<Client> clients) {
    ASSERT_NO_FATAL_FAILURE(start(std::move(clients)));
    if (IsSkipped()) return;
    pinFile = world.writeFile("pin", std::string(kPin) + "\n");
    wrongPinFile = world.writeFile("wrong-pin", std::string(kWrongPin) + "\n");
    ASSERT_NO_FATAL_FAILURE(initCard());
    ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
    const ProcessResult r = run({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", file("pub.der").string(), "-out",
                                 file("pub.pem").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  // A self-signed certificate for the card's key pair, signed on the card by
  // certtool through p11-kit, checked by openssl and stored on the card beside
  // the key (ID 00) as cert.pem is.
  void storeSelfSignedCertificate() {
    world.writeFile("cert.template", "cn = \"Quillon card user\"\nexpiration_days = 2\nsigning_key\ntls_www_client\n");
    const std::string key = std::string(kTokenUrl) + ";object=" + kLabel;
    ProcessResult r = run(
        {"certtool", "--generate-self-signed", "--load-privkey", key + ";type=private", "--load-pubkey",
         key + ";type=public", "--template", file("cert.template").string(), "--outfile", file("cert.pem").string()},
        {std::string("GNUTLS_PIN=") + kPin});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    // The signature verifies with the certificate's own key, which is the card's.
    r = run({"openssl", "verify", "-check_ss_sig", "-CAfile", file("cert.pem").string(), file("cert.pem").string()});
    EXPECT_EQ(r.exitCode, 0) << r.output;
    r = run({"openssl", "x509", "-in", file("cert.pem").string(), "-noout", "-pubkey"});
    EXPECT_EQ(r.output, readFile("pub.pem"));
    r = run(
        {"openssl", "x509", "-in", file("cert.pem").string(), "-outform", "DER", "-out", file("cert.der").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = pkcs11({"--login", "--pin", kPin, "--write-object", file("cert.der").string(), "--type", "cert", "--id", "00",
                "--label", kLabel});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }
  // quillon-card clear: the reader ejects the card, and the stick forgets it.
  void ejectCard() {
    const ProcessResult r = card({"clear", world.drive().string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_TRUE(waitForCard(false));
  }

  fs::path pinFile, wrongPinFile;
};

// The base64 body of the first PEM block in `text`, without line breaks.
std::string pemBody(const std::string& text) {
  std::smatch block;
  if (!std::regex_search(text, block, std::regex("-----BEGIN [A-Z ]+-----([^-]*)-----END"))) return {};
  std::string body = block[1].str();
  body.erase(std::remove_if(body.begin(), body.end(), [](char c) { return c == '\n' || c == '\r'; }), body.end());
  return body;
}

class SshClientTest : public CardClientTest {
 protected:
  void SetUp() override {
    startWithKey({{"ssh", "openssh-client"}, {"ssh-keygen", "openssh-client"}, {"sshd", "openssh-server"}});
  }
  // ssh -I with the card's module, the PIN typed by an askpass program reading
  // `pin`; the remote command prints kLoggedIn.
  ProcessResult login(const SshServer& server, const fs::path& pin) {
    const fs::path askpass = world.writeFile("askpass", "#!/bin/sh\nexec cat '" + pin.string() + "'\n");
    fs::permissions(askpass, fs::perms::owner_all);
    std::vector<std::string> argv = {"ssh", "-I", QUILLON_OPENSC_PKCS11};
    const std::vector<std::string> options = server.clientOptions();
    argv.insert(argv.end(), options.begin(), options.end());
    argv.insert(argv.end(), {userName() + "@127.0.0.1", "echo", kLoggedIn});
    return run(argv, {"SSH_ASKPASS=" + askpass.string(), "SSH_ASKPASS_REQUIRE=force"});
  }
  static std::string userName() {
    const passwd* user = ::getpwuid(::geteuid());
    return user != nullptr ? user->pw_name : "root";
  }
  static constexpr const char* kLoggedIn = "logged-in-with-the-card";
};

TEST_F(SshClientTest, SshLogsInWithTheCardsKeyAfterItsPinAndNotOnceTheCardIsEjected) {
  // ssh-keygen -D prints the key the card holds, as ssh-keygen reads it from
  // the public key pkcs11-tool exported.
  ProcessResult r = run({"ssh-keygen", "-D", QUILLON_OPENSC_PKCS11});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  std::smatch fromCard, exported;
  ASSERT_TRUE(std::regex_search(r.output, fromCard, std::regex("(^|\\n)(ssh-rsa [A-Za-z0-9+/=]+)"))) << r.output;
  const std::string cardKey = fromCard[2].str();
  const fs::path authorizedKeys = world.writeFile("authorized_keys", cardKey + "\n");
  r = run({"ssh-keygen", "-i", "-m", "PKCS8", "-f", file("pub.pem").string()});
  ASSERT_TRUE(std::regex_search(r.output, exported, std::regex("ssh-rsa [A-Za-z0-9+/=]+"))) << r.output;
  EXPECT_EQ(cardKey, exported[0].str());
  r = run({"ssh-keygen", "-l", "-f", authorizedKeys.string()});
  std::smatch fingerprint;
  ASSERT_TRUE(std::regex_search(r.output, fingerprint, std::regex("SHA256:[A-Za-z0-9+/]+"))) << r.output;
  const std::string cardFingerprint = fingerprint[0].str();

  SshServer server(world.scratch() / "sshd", authorizedKeys);
  ASSERT_NO_THROW(server.start());
  // A wrong PIN: the card signs nothing, and sshd lets no one in.
  r = login(server, wrongPinFile);
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find(kLoggedIn), npos) << r.output;
  EXPECT_NE(r.output.find("Permission denied"), npos) << r.output;
  // The PIN: the card's key logs in and the remote command runs.
  r = login(server, pinFile);
  EXPECT_EQ(r.exitCode, 0) << r.output << "\nsshd:\n" << server.log();
  EXPECT_NE(r.output.find(kLoggedIn), npos) << r.output;
  EXPECT_NE(server.log().find("Accepted publickey for " + userName()), npos) << server.log();
  EXPECT_NE(server.log().find("RSA " + cardFingerprint), npos) << server.log();

  // Without the card the key is gone, and so is the way in.
  ASSERT_NO_FATAL_FAILURE(ejectCard());
  r = login(server, pinFile);
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find(kLoggedIn), npos) << r.output;
  const std::string log = server.log();
  EXPECT_EQ(log.find("Accepted publickey"), log.rfind("Accepted publickey")) << log;
}

class CertificateClientTest : public CardClientTest {
 protected:
  void SetUp() override {
    startWithKey({{"modutil", "libnss3-tools"},
                  {"certutil", "libnss3-tools"},
                  {"certtool", "gnutls-bin"},
                  {"p11tool", "gnutls-bin"},
                  {kP11KitRegistration, "opensc-pkcs11"}});
  }
};

// NSS: a new database with OpenSC's module lists the card's certificate, and its key
// after the PIN. p11-kit's registration of OpenSC shows the card, and p11tool signs
// after the PIN; nothing once the card is ejected.
TEST_F(CertificateClientTest, NssAndP11KitUseTheCardsCertificateAndKey) {
  ASSERT_NO_FATAL_FAILURE(storeSelfSignedCertificate());
  const std::string db = "sql:" + file("nss").string();
  fs::create_directories(file("nss"));
  ProcessResult r = run({"certutil", "-N", "-d", db, "--empty-password"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = run({"modutil", "-dbdir", db, "-add", "Quillon card", "-libfile", QUILLON_OPENSC_PKCS11, "-force"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = run({"modutil", "-dbdir", db, "-list"});
  EXPECT_NE(r.output.find("slot: " + std::string(CardWorld::kReaderName)), npos) << r.output;
  EXPECT_NE(r.output.find("token: " + std::string(kToken)), npos) << r.output;

  // The certificate, public on the card: listed without the PIN. certutil reads
  // one out of a token only once logged in to it: the same bytes as certtool made.
  const std::string nickname = std::string(kToken) + ":" + kLabel;
  r = run({"certutil", "-L", "-d", db, "-h", "all"});
  EXPECT_TRUE(std::regex_search(r.output, std::regex("GIDS card \\(UserPIN\\):e2e\\s+u,u,u"))) << r.output;
  r = run({"certutil", "-L", "-d", db, "-h", kToken, "-n", nickname, "-a", "-f", pinFile.string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_FALSE(pemBody(r.output).empty()) << r.output;
  EXPECT_EQ(pemBody(r.output), pemBody(readFile("cert.pem")));

  // The private key only after the PIN.
  const std::regex keyLine("<\\s*0>\\s+rsa\\s+[0-9a-f]+\\s+" + std::string(kLabel));
  r = run({"certutil", "-K", "-d", db, "-h", kToken, "-f", wrongPinFile.string()});
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("SEC_ERROR_BAD_PASSWORD"), npos) << r.output;
  EXPECT_FALSE(std::regex_search(r.output, keyLine)) << r.output;
  r = run({"certutil", "-K", "-d", db, "-h", kToken, "-f", pinFile.string()});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_TRUE(std::regex_search(r.output, keyLine)) << r.output;

  // p11-kit and p11tool.
  r = run({"p11tool", "--list-tokens"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  for (const std::string& text : {std::string("Label: ") + kToken, std::string("URL: pkcs11:"),
                                  std::string("Serial: 8899aabbccddeeff"), std::string("Module: opensc-pkcs11.so")})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;

  r = run({"p11tool", "--login", "--list-all", kTokenUrl}, {std::string("GNUTLS_PIN=") + kPin});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("Type: X.509 Certificate (RSA-2048)"), npos) << r.output;
  std::smatch privateKey;
  ASSERT_TRUE(std::regex_search(r.output, privateKey, std::regex("URL: (pkcs11:\\S*;type=private)"))) << r.output;
  const std::string keyUrl = privateKey[1].str();

  r = run({"p11tool", "--login", "--test-sign", keyUrl}, {std::string("GNUTLS_PIN=") + kWrongPin});
  EXPECT_NE(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.find("Signing using"), npos) << r.output;
  r = run({"p11tool", "--login", "--test-sign", keyUrl}, {std::string("GNUTLS_PIN=") + kPin});
  EXPECT_EQ(r.exitCode, 0) << r.output;
  for (const char* text : {"Signing using RSA-SHA256... ok", "Verifying against public key in the token... ok"})
    EXPECT_NE(r.output.find(text), npos) << text << " in:\n" << r.output;

  ASSERT_NO_FATAL_FAILURE(ejectCard());
  r = run({"p11tool", "--list-tokens"});
  EXPECT_EQ(r.output.find(kToken), npos) << r.output;
}

}  // namespace
}  // namespace quillon::test
