// The programs people log in and sign with, using the card's key through OpenSC's
// PKCS#11 module: ssh against an sshd of the test's own, NSS (the browsers'
// certificate store) and p11-kit with GnuTLS's p11tool and certtool.
#include <pwd.h>
#include <unistd.h>

#include <regex>

#include "CardUserTest.h"

namespace quillon::test {
namespace {

constexpr const char* kWrongPin = "9999";
constexpr const char* kToken = "GIDS card (UserPIN)";
constexpr const char* kTokenUrl = "pkcs11:token=GIDS%20card%20%28UserPIN%29";
constexpr const char* kP11KitRegistration = "/usr/share/p11-kit/modules/opensc-pkcs11.module";

class CardClientTest : public CardUserTest {
 protected:
  // start(clients), then a card with a key pair (pub.der) and the PIN files.
  void startWithKey(std::vector<Client> clients) {
    ASSERT_NO_FATAL_FAILURE(start(std::move(clients)));
    if (IsSkipped()) return;
    pinFile = world.writeFile("pin", std::string(kPin) + "\n");
    wrongPinFile = world.writeFile("wrong-pin", std::string(kWrongPin) + "\n");
    ASSERT_NO_FATAL_FAILURE(initCard());
    ASSERT_NO_FATAL_FAILURE(generateKey(kPin));
  }
  void clearCard() {
    const ChildResult r = card({"clear", world.drive().string()});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_TRUE(waitForCard(false));
  }
  fs::path pinFile, wrongPinFile;
};

class SshClientTest : public CardClientTest {
 protected:
  void SetUp() override {
    startWithKey({{"ssh", "openssh-client"}, {"ssh-keygen", "openssh-client"}, {"sshd", "openssh-server"}});
  }
  // ssh -I with the card's module to an sshd that ssh runs in inetd mode, in a
  // mount namespace with its privilege separation directory bound over /run/sshd;
  // public-key logins only. sshd's log (-e) joins ssh's output.
  ChildResult login(const fs::path& pin) {
    const fs::path dir = world.scratch() / "sshd",
                   askpass = world.writeFile("askpass", "#!/bin/sh\ncat " + pin.string());
    fs::permissions(askpass, fs::perms::owner_all);
    if (!fs::exists(dir / "host_key")) {
      fs::create_directories(dir / "privsep");
      fs::permissions(dir / "privsep", fs::perms::owner_all);
      EXPECT_EQ(run({"ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir / "host_key").string()}).exitCode, 0);
      std::ofstream(dir / "sshd_config") << "HostKey " << (dir / "host_key").string() << "\nAuthorizedKeysFile "
                                         << file("authorized_keys").string()
                                         << "\nPermitRootLogin prohibit-password\nStrictModes no\nUsePAM no\n"
                                            "PasswordAuthentication no\nKbdInteractiveAuthentication no\n";
    }
    const std::string proxy =
        "ProxyCommand=unshare --mount --propagation private sh -c 'mkdir -p /run/sshd && "
        "mount --bind \"$1\" /run/sshd && exec \"$2\" -i -e -f \"$3\"' sh " +
        (dir / "privsep").string() + " " + findProgram("sshd") + " " + (dir / "sshd_config").string();
    const passwd* user = ::getpwuid(::geteuid());
    return run({"ssh", "-I", QUILLON_OPENSC_PKCS11, "-F", "/dev/null", "-o", "StrictHostKeyChecking=no", "-o",
                "UserKnownHostsFile=" + (dir / "known_hosts").string(), "-o", "IdentityAgent=none", "-o",
                "PasswordAuthentication=no", "-o", proxy, std::string(user ? user->pw_name : "root") + "@quillon-test",
                "echo", "logged-in-with-the-card"},
               {"SSH_ASKPASS=" + askpass.string(), "SSH_ASKPASS_REQUIRE=force"});
  }
};

TEST_F(SshClientTest, SshLogsInWithTheCardsKeyAfterItsPinAndNotOnceTheCardIsCleared) {
  ChildResult r = run({"ssh-keygen", "-D", QUILLON_OPENSC_PKCS11});
  std::smatch fromCard;
  ASSERT_TRUE(std::regex_search(r.out, fromCard, std::regex("(^|\\n)(ssh-rsa [A-Za-z0-9+/=]+)"))) << r.out;
  const std::string cardKey = fromCard[2].str();
  world.writeFile("authorized_keys", cardKey + "\n");
  r = run({"openssl", "pkey", "-pubin", "-inform", "DER", "-in", file("pub.der").string(), "-out",
           file("pub.pem").string()});
  r = run({"ssh-keygen", "-i", "-m", "PKCS8", "-f", file("pub.pem").string()});
  EXPECT_NE(r.out.find(cardKey), npos) << "the card's key is not the one generated:\n" << r.out;

  r = login(wrongPinFile);
  EXPECT_NE(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("Permission denied"), npos) << r.out;
  r = login(pinFile);
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_NE(r.out.find("logged-in-with-the-card"), npos) << r.out;
  EXPECT_NE(r.out.find("Accepted publickey for"), npos) << r.out;

  ASSERT_NO_FATAL_FAILURE(clearCard());
  r = login(pinFile);
  EXPECT_NE(r.exitCode, 0) << r.out;
  EXPECT_EQ(r.out.find("Accepted publickey"), npos) << r.out;
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

// certtool signs a self-signed certificate with the card's key through p11-kit,
// which openssl verifies; stored on the card, NSS lists it, and the key after the PIN.
TEST_F(CertificateClientTest, NssAndP11KitUseTheCardsCertificateAndKey) {
  world.writeFile("cert.template", "cn = \"Quillon card user\"\nexpiration_days = 2\nsigning_key\n");
  const std::string key = std::string(kTokenUrl) + ";object=e2e";
  ChildResult r =
      run({"certtool", "--generate-self-signed", "--load-privkey", key + ";type=private", "--load-pubkey",
           key + ";type=public", "--template", file("cert.template").string(), "--outfile", file("cert.pem").string()},
          {std::string("GNUTLS_PIN=") + kPin});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  r = run({"openssl", "verify", "-check_ss_sig", "-CAfile", file("cert.pem").string(), file("cert.pem").string()});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  r = run({"openssl", "x509", "-in", file("cert.pem").string(), "-outform", "DER", "-out", file("cert.der").string()});
  r = pkcs11({"--login", "--pin", kPin, "--write-object", file("cert.der").string(), "--type", "cert", "--id", "00",
              "--label", "e2e"});
  ASSERT_EQ(r.exitCode, 0) << r.out;

  const std::string db = "sql:" + file("nss").string();
  fs::create_directories(file("nss"));
  r = run({"certutil", "-N", "-d", db, "--empty-password"});
  r = run({"modutil", "-dbdir", db, "-add", "Quillon card", "-libfile", QUILLON_OPENSC_PKCS11, "-force"});
  ASSERT_EQ(r.exitCode, 0) << r.out;
  r = run({"certutil", "-L", "-d", db, "-h", "all"});
  EXPECT_TRUE(std::regex_search(r.out, std::regex("GIDS card \\(UserPIN\\):e2e\\s+u,u,u"))) << r.out;
  const std::regex keyLine("<\\s*0>\\s+rsa\\s+[0-9a-f]+\\s+e2e");
  r = run({"certutil", "-K", "-d", db, "-h", kToken, "-f", wrongPinFile.string()});
  EXPECT_FALSE(std::regex_search(r.out, keyLine)) << r.out;
  r = run({"certutil", "-K", "-d", db, "-h", kToken, "-f", pinFile.string()});
  EXPECT_TRUE(std::regex_search(r.out, keyLine)) << r.out;

  // p11-kit's registration of OpenSC's module: p11tool signs after the PIN only.
  r = run({"p11tool", "--login", "--list-all", kTokenUrl}, {std::string("GNUTLS_PIN=") + kPin});
  std::smatch privateKey;
  ASSERT_TRUE(std::regex_search(r.out, privateKey, std::regex("URL: (pkcs11:\\S*;type=private)"))) << r.out;
  const std::string keyUrl = privateKey[1].str();
  r = run({"p11tool", "--login", "--test-sign", keyUrl}, {std::string("GNUTLS_PIN=") + kWrongPin});
  EXPECT_EQ(r.out.find("Signing using"), npos) << r.out;
  r = run({"p11tool", "--login", "--test-sign", keyUrl}, {std::string("GNUTLS_PIN=") + kPin});
  EXPECT_NE(r.out.find("Verifying against public key in the token... ok"), npos) << r.out;

  ASSERT_NO_FATAL_FAILURE(clearCard());
  r = run({"p11tool", "--list-tokens"});
  EXPECT_EQ(r.out.find(kToken), npos) << r.out;
}

}  // namespace
}  // namespace quillon::test
