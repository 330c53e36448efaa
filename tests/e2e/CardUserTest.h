// What the end-to-end tests of the card as a user meets it share: a CardWorld
// with a private pcscd started, quillon-card, OpenSC's tools and other clients run
// in it, and reading their output. Every test skips, saying why, where a private
// pcscd cannot run or a program is missing; where CI is set in the environment a
// missing program fails the test instead, because CI installs every one
// (scripts/install-deps.sh) and a skip there would hide a missing package.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CardWorld.h"

namespace quillon::test {

namespace fs = std::filesystem;

// The secrets and serial number of the cards the tests create.
inline constexpr const char* kPin = "1234";
inline constexpr const char* kAdminKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
inline constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
inline constexpr const char* kSelectGidsApdu = "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00";
inline constexpr auto npos = std::string::npos;

// A program on PATH, or a file when `what` is a path, and the Debian package
// that brings it.
struct Client {
  std::string what;
  const char* package;
};

class CardUserTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  // Skips (fails under CI) unless pcscd can run and OpenSC's tools and `clients`
  // are there, then starts pcscd.
  void start(std::vector<Client> clients) {
    if (const std::string why = PcscdFixture::unavailableReason(); !why.empty()) GTEST_SKIP() << why;
    clients.insert(clients.end(), {{"opensc-tool", "opensc"},
                                   {"pkcs15-tool", "opensc"},
                                   {"gids-tool", "opensc"},
                                   {"pkcs11-tool", "opensc"},
                                   {"openssl", "openssl"},
                                   {QUILLON_OPENSC_PKCS11, "opensc-pkcs11"}});
    std::string missing;
    for (const Client& client : clients)
      if (client.what.find('/') != npos ? !fs::exists(client.what) : findProgram(client.what).empty())
        missing += " " + client.what + " (Debian: " + client.package + ")";
    if (!missing.empty()) {
      if (std::getenv("CI") != nullptr) FAIL() << "CI installs every client, yet these are missing:" << missing;
      GTEST_SKIP() << "not installed:" << missing;
    }
    ASSERT_NO_THROW(world.pcscd().start());
  }
  void TearDown() override {
    if (!HasFailure()) return;
    const std::string log = world.pcscd().log();
    std::cerr << "pcscd log (end):\n" << log.substr(log.size() - std::min<std::size_t>(log.size(), 6000));
  }

  // quillon-card init on the stick, with the secrets given through files; the
  // test fails unless the reader then shows the card.
  void initCard(const std::string& pin = kPin, const std::string& adminKey = kAdminKey,
                const std::string& serial = kSerial) {
    const auto pinFile = world.writeFile("init-pin", pin + "\n"),
               keyFile = world.writeFile("init-key", adminKey + "\n");
    const ProcessResult r = card({"init", world.drive().string(), "--pin-file", pinFile.string(), "--admin-key-file",
                                  keyFile.string(), "--serial", serial, "--yes"});
    fs::remove(pinFile);
    fs::remove(keyFile);
    ASSERT_EQ(r.exitCode, 0) << r.output;
    ASSERT_NE(r.output.find("the virtual reader serves it"), npos) << r.output;
    ASSERT_TRUE(waitForCard(true));
  }
  // Polls opensc-tool -l for at most 5 s until the reader shows a card (or none).
  bool waitForCard(bool present) {
    std::string output;
    if (world.awaitCard(present, &output)) return true;
    ADD_FAILURE() << "the reader does not show " << (present ? "a card" : "no card") << ":\n" << output;
    return false;
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
  ProcessResult pkcs11(std::vector<std::string> args) {  // pkcs11-tool on OpenSC's module
    args.insert(args.begin(), {"pkcs11-tool", "--module", QUILLON_OPENSC_PKCS11});
    return run(args);
  }
  std::vector<std::string> sendApdus(const std::vector<std::string>& apdus, ProcessResult* result = nullptr) {
    return world.sendApdus(apdus, result);
  }

  // An RSA-2048 key pair generated on the card (OpenSC numbers the first key 00
  // whatever is asked), its public key read back to pub.der.
  void generateKey(const std::string& pin) {
    ProcessResult r = pkcs11({"--login", "--pin", pin, "--keypairgen", "--key-type", "rsa:2048", "--label", "e2e"});
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Public Key Object; RSA 2048 bits"), npos) << r.output;
    r = pkcs11({"--read-object", "--type", "pubkey", "--id", "00", "--output-file", file("pub.der").string()});
    ASSERT_EQ(r.exitCode, 0) << r.output;
  }
  // openssl's verification of a SHA-256 RSA signature with pub.der; the files are in scratch().
  ProcessResult opensslVerify(const std::string& signature, const std::string& message) {
    return run({"openssl", "dgst", "-sha256", "-verify", file("pub.der").string(), "-keyform", "DER", "-signature",
                file(signature).string(), file(message).string()});
  }
  // Signs the scratch file `message` with key 00 (SHA256-RSA-PKCS) into
  // `signature`; empty when openssl verifies it, what the tools said otherwise.
  std::string signAndVerify(const std::string& pin, const std::string& message, const std::string& signature) {
    const ProcessResult s = pkcs11({"--login", "--pin", pin, "--sign", "--mechanism", "SHA256-RSA-PKCS", "--id", "00",
                                    "--input-file", file(message).string(), "--output-file", file(signature).string()});
    const ProcessResult v = opensslVerify(signature, message);
    return s.exitCode == 0 && v.exitCode == 0 && v.output.find("Verified OK") != npos ? "" : s.output + v.output;
  }

  fs::path file(const std::string& name) const { return world.scratch() / name; }
  std::string readFile(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  CardWorld world{true};
};

// The data bytes of opensc-tool's last "Received" block, as upper-case hex.
inline std::string lastReceivedData(const std::string& output) {
  const std::size_t at = output.rfind("Received (");
  if (at == npos) return {};
  std::istringstream lines(output.substr(at));
  std::string line, hex;
  std::getline(lines, line);  // the status line
  // Each line: up to 16 bytes as "XX " in the first 48 columns, then their text.
  while (std::getline(lines, line) && !line.empty()) {
    std::istringstream bytes(line.substr(0, 48));
    for (std::string byte; bytes >> byte;) hex += byte;
  }
  return hex;
}

// Another administrator key and serial number than the ones init gets by default.
inline constexpr const char* kOtherAdminKey = "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6";
inline constexpr const char* kOtherSerial = "0F0E0D0C0B0A09080706050403020100";

}  // namespace quillon::test
