// A card as a terminal builds it through transmit(): the personalisation script,
// then key file B081 with a generated RSA-2048 key. Shared by the state document
// and container tests.
#pragma once

#include <string>

#include "base/OpenSsl.h"
#include "gids/CardFixture.h"
#include "jc/IJCRuntime.h"

namespace quillon::test {

// Sends one command (hex, blanks allowed) to `runtime`.
Response transmitHex(IJCRuntime& runtime, const std::string& hex);
// Follows 61xx answers with GET RESPONSE and joins the data.
Response readAll(IJCRuntime& runtime, Response first);

// Runs the personalisation script; every command must answer 9000.
void personaliseCard(IJCRuntime& runtime);
// VERIFY, CREATE FILE B081, ACTIVATE, GENERATE ASYMMETRIC KEY PAIR (2048 bits):
// returns the public key answer (7F49 template, hex).
std::string addGeneratedKey(IJCRuntime& runtime);

// Modulus and exponent of a 7F49 public key answer, as an OpenSSL key.
ossl::PkeyPtr publicKeyFromAnswer(const std::string& hex);

}  // namespace quillon::test
