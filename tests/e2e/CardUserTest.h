// The end-to-end tests' fixture: a CardWorld with pcscd running, and the card's
// user at the keyboard, running quillon-card and OpenSC's tools (opensc-tool,
// pkcs15-tool, gids-tool, pkcs11-tool with OpenSC's PKCS#11 module) and the
// openssl command. Every test skips, saying why, where a private pcscd cannot
// run or a tool is missing.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "CardWorld.h"

namespace quillon::test {

// The secrets and serial number of the cards the tests create.
inline constexpr const char* kPin = "1234";
inline constexpr const char* kAdminKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
inline constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";
inline constexpr const char* kSelectGidsApdu = "00 A4 04 00 09 A0 00 00 03 97 42 54 46 59 00";

class CardUserTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // OpenSC's PKCS#11 module; empty when it is not installed.
  static std::string pkcs11Module();

  // quillon-card init on the stick, with the secrets given through files; the
  // test fails unless the reader then shows the card.
  void initCard(const std::string& pin = kPin, const std::string& adminKey = kAdminKey,
                const std::string& serial = kSerial);
  // Polls opensc-tool -l until the reader shows a card (or none).
  bool waitForCard(bool present, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  ProcessResult run(const std::vector<std::string>& argv) { return world.run(argv); }
  ProcessResult card(const std::vector<std::string>& args) { return world.card(args); }
  // pkcs11-tool on OpenSC's module.
  ProcessResult pkcs11(const std::vector<std::string>& args);
  // opensc-tool sending `apdus` (hex text) in one session; the status word of each
  // answer, as opensc-tool prints it ("9000"), in order.
  std::vector<std::string> sendApdus(const std::vector<std::string>& apdus, ProcessResult* result = nullptr);

  // openssl's verification of a SHA-256 RSA signature; the files are in scratch().
  ProcessResult opensslVerify(const std::string& publicKeyDer, const std::string& signature,
                              const std::string& message);

  std::filesystem::path file(const std::string& name) const { return world.scratch() / name; }
  std::string readFile(const std::string& name) const;

  CardWorld world{true};
};

// The data bytes of opensc-tool's last "Received" block, as upper-case hex.
std::string lastReceivedData(const std::string& openscToolOutput);

}  // namespace quillon::test
