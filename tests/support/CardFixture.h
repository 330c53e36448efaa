// A GIDS applet in an in-memory runtime, driven through transmit() with hexadecimal
// command text as a terminal sends it, and the card a terminal builds that way
// (the personalisation script, then a generated key). Shared by the applet, state
// document, container and command-line tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "base/OpenSsl.h"
#include "gids/GidsApplet.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon::test {

struct Response {
  std::string data;  // upper-case hex
  std::uint16_t sw = 0;
};

// The values the personalisation script of these tests uses.
inline constexpr const char* kTestPin = "31323334";  // "1234"
inline constexpr const char* kAdminKey = "0102030405060708090A0B0C0D0E0F101112131415161718";
inline constexpr const char* kSerial = "00112233445566778899AABBCCDDEEFF";

// CREATE FILE of key file B081 as OpenSC makes one: AM 8F (generate, MSE, write,
// read) with conditions 10 (user PIN), deciphering (B8: 07, 87, 47) and signing
// (B6: 17, 57).
inline constexpr const char* kCreateKeyFile =
    "00E000002B 6229 820118 8302B081 8C058F10101010 A519 B803800107 B803800187 B803800147 B603800117 B603800157";
inline constexpr const char* kReadPublicKey = "00CB3FFF0A7008840181A5037F498000";

// The 25 commands that personalise a card (PIN 1234, kAdminKey, kSerial).
std::vector<std::string> personalisationScript();

// Sends one command (hex, blanks allowed) to `runtime`.
Response transmitHex(IJCRuntime& runtime, const std::string& hex);
// Follows 61xx answers with GET RESPONSE and joins the data.
Response readAll(IJCRuntime& runtime, Response first);
// Runs the personalisation script; every command must answer 9000.
void personaliseCard(IJCRuntime& runtime);
// VERIFY, CREATE FILE B081, ACTIVATE, GENERATE ASYMMETRIC KEY PAIR (2048 bits):
// the public key answer (7F49 template, hex).
std::string addGeneratedKey(IJCRuntime& runtime);
// The RSA public key of a 7F49 answer.
ossl::PkeyPtr publicKeyFromAnswer(const std::string& hex);

class CardFixture : public ::testing::Test {
 protected:
  CardFixture() { applet = GidsApplet::install(runtime); }

  Response send(const std::string& hex) { return transmitHex(runtime, hex); }
  std::uint16_t sw(const std::string& hex) { return send(hex).sw; }
  Response sendAll(const std::string& hex) { return readAll(runtime, send(hex)); }
  void personalise() { personaliseCard(runtime); }

  JCRuntimeImpl runtime;
  GidsApplet* applet = nullptr;
};

}  // namespace quillon::test
