// A fresh GIDS applet in an in-memory runtime, driven through transmit() with
// hexadecimal command text as a terminal would send it.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "gids/GidsApplet.h"
#include "jc/JCRuntimeImpl.h"

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
    "00E000002B" "6229" "820118" "8302B081" "8C058F10101010"
    "A519" "B803800107" "B803800187" "B803800147" "B603800117" "B603800157";

// The 25 commands that personalise a card (PIN 1234, kAdminKey, kSerial), as the
// card creation sends them.
std::vector<std::string> personalisationScript();

class CardFixture : public ::testing::Test {
 protected:
  CardFixture();

  // Sends one command (hex, blanks allowed) and returns data and status word.
  Response send(const std::string& hex);
  std::uint16_t sw(const std::string& hex) { return send(hex).sw; }
  // Runs the whole personalisation script, expecting 9000 from every command.
  void personalise();
  // Ends the initialisation phase without anything else.
  void activateApplication();

  JCRuntimeImpl runtime;
  GidsApplet* applet = nullptr;
};

}  // namespace quillon::test
