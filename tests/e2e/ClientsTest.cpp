// The programs people log in and sign with, using the card through OpenSC's
// PKCS#11 module in the private-pcscd world (CardWorld): ssh and sshd, NSS (the
// certificate store of Firefox and Chromium) and p11-kit with GnuTLS's p11tool.
//
// Each test makes a card, has pkcs11-tool generate an RSA key pair on it and,
// where a certificate is needed, has certtool (GnuTLS, through p11-kit) sign a
// self-signed certificate with the card's private key, which pkcs11-tool then
// stores on the card: openssl checks that it is signed by the card's key.
//
// A missing client skips a test, saying which package brings it; where CI is
// set in the environment it fails instead, because CI installs every client
// (scripts/install-deps.sh) and a skip there would hide a missing package.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "CardWorld.h"
#include "SshServer.h"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPin = "1234";
constexpr const char* kWrongPin = "9999";
constexpr const char* kAdminKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
// How OpenSC's module names the card's token, and the label of the key pair and
// certificate the tests put on it.
constexpr const char* kToken = "GIDS card (UserPIN)";
constexpr const char* kTokenUrl = "pkcs11:token=GIDS%20card%20%28UserPIN%29";
constexpr const char* kLabel = "quillon";
// Where Debian's opensc-pkcs11 registers the module with p11-kit.
constexpr const char* kP11KitRegistration = "/usr/share/p11-kit/modules/opensc-pkcs11.module";
constexpr auto npos = std::string::npos;

// A program on PATH, or a file when `what` is a path, and the Debian package
// that brings it.
struct Client {
  std::string what;
  const char* package;
};

class CardClientTest : public ::testing::Test {
 protected:
  // Skips (fails under CI) unless every client is there, then starts pcscd and
  // makes a card with a key pair on it. Call from SetUp.
  void startWorld(std::vector<Client> clients) {
    if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
    clients.insert(clients.end(), {{"opensc-tool", "opensc"},
                                   {"pkcs11-tool", "opensc"},
                                   {"openssl", "openssl"},
                                   {QUILLON_OPENSC_PKCS11, "opensc-pkcs11"}});
    std::string missing;
    for (const Client& client : clients) {
      const bool present = client.what.find('/') != npos ? fs::exists(client.what) : !findProgram(client.what).empty();
      if (!present) missing += " " + client.what + " (Debian: " + client.package + ")";
    }
    if (!missing.empty()) {
      if (std::getenv("CI") != nullptr) FAIL() << "CI installs every client, yet these are missing:" << missing;
      GTEST_SKIP() << "not installed:" << missing;
    }
    ASSERT_NO_THROW(world.pcscd().start());
    pinFile = world.writeFile("pin", std::string(kPin) + "\n");
    wrongPinFile = world.writeFile("wrong-pin", std::string(kWrongPin) + "\n");
    const auto keyFile = world.writeFile("admin-key", std::string(kAdminKey) + "\n");
    ProcessResult r = card({"init", world.drive().string(), "--pin-file", pinFile.string(), "--admin-key-file",
                            keyFile.string(), "--serial", kSerial, "--yes"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::string readers;
    ASSERT_TRUE(world.awaitCard(true, &readers)) << readers;

    r = pkcs11({"--login", "--pin", kPin, "--keypairgen", "--key-type", "rsa:2048", "--label", kLabel});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = pkcs11({"--read-object", "--type", "pubkey", "--label", kLabel, "--output-file", file("pub.der").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = run({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", file("pub.der").string(), "-out",
             file("pub.pem").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }
  void TearDown() override {
    if (!HasFailure()) return;
    const std::string log = world.pcscd().log();
    std::cerr << "pcscd log (end):\n" << log.substr(log.size() - std::min<std::size_t>(log.size(), 6000));
  }

  // A self-signed certificate for the card's key pair, signed on the card by
  // certtool through p11-kit, checked by openssl and stored on the card beside
  // the key (same ID) as cert.pem is.
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

    r = pkcs11({"--list-objects", "--type", "pubkey"});
    std::smatch id;
    ASSERT_TRUE(std::regex_search(r.output, id, std::regex("ID:\\s+([0-9a-f]+)"))) << r.output;
    r = pkcs11({"--login", "--pin", kPin, "--write-object", file("cert.der").string(), "--type", "cert", "--id",
                id[1].str(), "--label", kLabel});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }

  ProcessResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {}) {
    std::vector<std::string> env = world.environment();
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    return runProcess(argv, env, std::chrono::seconds(60));
  }
  ProcessResult card(std::vector<std::string> args) {
    args.insert(args.begin(), CardWorld::kCardProgram);
    return run(args);
  }
  ProcessResult pkcs11(std::vector<std::string> args) {
    args.insert(args.begin(), {"pkcs11-tool", "--module", QUILLON_OPENSC_PKCS11});
    return run(args);
  }
  // quillon-card clear: the reader ejects the card, and the stick forgets it.
  void ejectCard() {
    const ProcessResult r = card({"clear", world.drive().string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    std::string readers;
    ASSERT_TRUE(world.awaitCard(false, &readers)) << readers;
  }

  fs::path file(const std::string& name) const { return world.scratch() / name; }
  std::string readFile(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  CardWorld world{true};
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
    startWorld({{"ssh", "openssh-client"}, {"ssh-keygen", "openssh-client"}, {"sshd", "openssh-server"}});
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

class NssClientTest : public CardClientTest {
 protected:
  void SetUp() override {
    startWorld({{"modutil", "libnss3-tools"}, {"certutil", "libnss3-tools"}, {"certtool", "gnutls-bin"}});
  }
};

TEST_F(NssClientTest, ANewNssDatabaseWithOpenScsModuleListsTheCardsCertificateAndAfterThePinItsKey) {
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
  EXPECT_TRUE(std::regex_search(r.output, std::regex("GIDS card \\(UserPIN\\):quillon\\s+u,u,u"))) << r.output;
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
}

class P11KitClientTest : public CardClientTest {
 protected:
  void SetUp() override {
    startWorld({{"p11tool", "gnutls-bin"}, {"certtool", "gnutls-bin"}, {kP11KitRegistration, "opensc-pkcs11"}});
  }
};

TEST_F(P11KitClientTest, P11KitsRegistrationOfOpenScShowsTheCardAndP11toolSignsAfterThePin) {
  ASSERT_NO_FATAL_FAILURE(storeSelfSignedCertificate());
  ProcessResult r = run({"p11tool", "--list-tokens"});
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
