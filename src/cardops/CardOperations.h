// What a user does with a card once it exists: read its state (serial number,
// PIN tries, key containers, certificates), change or unblock the PIN, change
// the administrator key. Each operation runs over a CardChannel and reports in
// one shape, which quillon-card turns into exit statuses and quillon-manager
// into message boxes.
#pragma once

#include <string>
#include <vector>

#include "base/OpenSsl.h"
#include "cardops/CardChannel.h"

namespace quillon::cardops {

// The numbers are quillon-card's exit statuses.
enum class Outcome {
  kDone = 0,
  kFailed = 1,        // the card or the reader failed
  kInvalidInput = 2,  // usage or invalid input
  kDeclined = 3,      // stopped at a warning
  kWrongSecret = 4,   // wrong PIN or administrator key
  kPinBlocked = 5,
  kNoCard = 6,  // no reader, or no card in it
};

struct Result {
  Outcome outcome = Outcome::kDone;
  std::string message;  // one or more sentences for the user; empty when done
  int triesLeft = -1;   // after a wrong PIN or administrator key, when the card tells
};

// One entry of the container map file: an 80-byte UTF-16LE name, flags (1 valid,
// 2 default), and the key sizes in bits.
struct KeyContainer {
  std::string name;  // UTF-8
  bool valid = false;
  bool isDefault = false;
  unsigned signatureBits = 0;
  unsigned keyExchangeBits = 0;
};

// A certificate of the card's "mscp" directory (kxcNN, kscNN), as OpenSSL reads it.
struct Certificate {
  std::string file;  // "kxc00"
  std::string subject;
  std::string issuer;
  std::string notBefore;  // as OpenSSL prints them, e.g. "Dec  7 13:00:00 2026 GMT"
  std::string notAfter;
  unsigned keyBits = 0;
};

struct CardInfo {
  std::string serial;     // upper-case hexadecimal
  int pinTriesLeft = -1;  // -1 when the card does not tell
  bool pinBlocked = false;
  bool initialisationPhase = false;
  std::vector<KeyContainer> containers;
  std::vector<Certificate> certificates;
};

// Reads the card's state; selects the GIDS application first. Needs no PIN. A
// card without serial number, container map or master file (a blank card) is
// not an error: those parts stay empty. Anything malformed the card answers is
// kFailed with a message; `info` then holds what was read before.
Result readCardInfo(CardChannel& card, CardInfo& info);

// The PIN and administrator operations below refuse a card still in its
// initialisation phase (kFailed) before any secret is sent, and end by logging
// the card out (VERIFY 00 20 00 82), so that no right they opened stays open.
// A wrong PIN is kWrongSecret with triesLeft, or kPinBlocked (triesLeft 0) once
// it has used the last try; a wrong administrator key is kWrongSecret (the card
// counts no tries for it). Messages never carry a secret.

// CHANGE REFERENCE DATA with the PIN and its successor (4 to 16 digits each,
// checked by the caller with checkNewPin).
Result changePin(CardChannel& card, const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin);

// Mutual authentication with the 24-byte administrator key, then RESET RETRY
// COUNTER with the new PIN: its tries are full again.
Result unblockPin(CardChannel& card, const ossl::SecureBytes& adminKey, const ossl::SecureBytes& newPin);

// Mutual authentication with the current 24-byte key, then the new key imported;
// done only once the new key has authenticated. kFailed after the import means
// the card may hold either key, and its message says so.
Result changeAdminKey(CardChannel& card, const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey);

}  // namespace quillon::cardops
