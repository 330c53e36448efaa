// The end-to-end tests of the card as a user meets it: a CardWorld with pcscd
// started, quillon-card, OpenSC's tools and other clients run in it. Every test
// skips, saying why, where a private pcscd cannot run or a program is missing;
// under CI (which installs every one) a missing program fails the test instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "CardWorld.h"

namespace quillon::test {

namespace fs = std::filesystem;

inline constexpr const char* kPin = "1234";
inline constexpr const char* kAdminKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
inline constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
inline constexpr const char* kOtherAdminKey = "2B7E151628AED2A6ABF7158809CF4F3C2B7E151628AED2A6";
inline constexpr const char* kOtherSerial = "0F0E0D0C0B0A09080706050403020100";
inline constexpr auto npos = std::string::npos;

// A program on PATH, or a file when `what` is a path, and its Debian package.
struct Client {
  std::string what;
  const char* package;
};

class CardUserTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
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

  // quillon-card ARGS with the secrets given, in order, as files removed afterwards.
  ChildResult cardWith(std::vector<std::string> args, const std::vector<std::pair<std::string, std::string>>& secrets) {
    std::vector<fs::path> files;
    for (const auto& [option, value] : secrets) {
      files.push_back(world.writeFile("secret" + std::to_string(files.size()), value + "\n"));
      args.insert(args.end(), {option, files.back().string()});
    }
    const ChildResult r = card(args);
    for (const fs::path& f : files) fs::remove(f);
    return r;
  }
  // quillon-card init on the stick; the reader must then show the card.
  void initCard(const std::string& pin = kPin, const std::string& adminKey = kAdminKey,
                const std::string& serial = kSerial) {
    const ChildResult r = cardWith({"init", world.drive().string(), "--serial", serial, "--yes"},
                                   {{"--pin-file", pin}, {"--admin-key-file", adminKey}});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    ASSERT_NE(r.out.find("the virtual reader serves it"), npos) << r.out;
    ASSERT_TRUE(waitForCard(true));
  }
  bool waitForCard(bool present) {
    std::string output;
    if (world.awaitCard(present, &output)) return true;
    ADD_FAILURE() << "the reader does not show " << (present ? "a card" : "no card") << ":\n" << output;
    return false;
  }

  ChildResult run(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment = {}) {
    return world.run(argv, extraEnvironment);
  }
  ChildResult card(std::vector<std::string> args) {
    args.insert(args.begin(), CardWorld::kCardProgram);
    return run(args);
  }
  ChildResult pkcs11(std::vector<std::string> args) {  // pkcs11-tool on OpenSC's module
    args.insert(args.begin(), {"pkcs11-tool", "--module", QUILLON_OPENSC_PKCS11});
    return run(args);
  }
  std::string dump() { return run({"pkcs15-tool", "--dump"}).out; }

  // An RSA-2048 key pair generated on the card (OpenSC numbers it 00), its public key in pub.der.
  void generateKey(const std::string& pin) {
    ChildResult r = pkcs11({"--login", "--pin", pin, "--keypairgen", "--key-type", "rsa:2048", "--label", "e2e"});
    ASSERT_EQ(r.exitCode, 0) << r.out;
    r = pkcs11({"--read-object", "--type", "pubkey", "--id", "00", "--output-file", file("pub.der").string()});
    ASSERT_EQ(r.exitCode, 0) << r.out;
  }

  fs::path file(const std::string& name) const { return world.scratch() / name; }
  std::string readFile(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  CardWorld world{true};
};

}  // namespace quillon::test
