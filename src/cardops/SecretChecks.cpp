#include "cardops/SecretChecks.h"

#include <openssl/crypto.h>

#include <algorithm>

#include "base/Hex.h"
#include "base/Trace.h"

namespace quillon::cardops {

namespace {
constexpr const char* kFn = "SecretChecks";
constexpr std::size_t kAdminKeyChars = 48;
constexpr std::size_t kLongestPin = 16;

void wipe(ossl::SecureBytes& bytes) {
  OPENSSL_cleanse(bytes.data(), bytes.size());
  bytes.clear();
}

bool isPin(const ossl::SecureBytes& pin, FormatCardUi& ui) {
  if (pin.size() < 4 || pin.size() > kLongestPin) {
    QTRACE(trace::kError, kFn, "checkPin: PIN length %zu is out of range [4,16]", pin.size());
    ui.showError("The PIN must be between 4 and 16 digits long.");
    return false;
  }
  if (!std::all_of(pin.begin(), pin.end(), [](std::uint8_t c) { return c >= '0' && c <= '9'; })) {
    QTRACE(trace::kError, kFn, "checkPin: PIN contains a non-digit character");
    ui.showError("The PIN must contain digits only (0-9).");
    return false;
  }
  return true;
}
}  // namespace

Outcome checkNewPin(const ossl::SecureBytes& pin, FormatCardUi& ui, const char** note) {
  if (note != nullptr) *note = nullptr;
  if (!isPin(pin, ui)) return Outcome::kInvalidInput;
  if (pin.size() == 4 && CRYPTO_memcmp(pin.data(), kDefaultPin, 4) == 0) {
    QTRACE(trace::kWarning, kFn, "checkNewPin: default PIN is in use");
    if (!ui.askYesNo("Warning: you should change the default PIN. Continue?")) {
      QTRACE(trace::kInformation, kFn, "checkNewPin: user chose to change the PIN");
      return Outcome::kDeclined;
    }
  }
  if (note != nullptr && pin.size() == kLongestPin) *note = kLongPinNote;
  return Outcome::kDone;
}

Outcome checkPin(const ossl::SecureBytes& pin, FormatCardUi& ui) {
  return isPin(pin, ui) ? Outcome::kDone : Outcome::kInvalidInput;
}

Outcome parseAdminKey(const ossl::SecureBytes& text, bool isNew, FormatCardUi& ui, ossl::SecureBytes& key) {
  wipe(key);
  if (text.size() != kAdminKeyChars) {
    QTRACE(trace::kError, kFn, "parseAdminKey: admin key length %zu != 48 expected hex chars", text.size());
    ui.showError("The admin key must be 48 hexadecimal characters (24 bytes).");
    return Outcome::kInvalidInput;
  }
  // Checked here first: the converter would trace the offending character.
  if (!std::all_of(text.begin(), text.end(),
                   [](std::uint8_t c) { return hex::digitValue(static_cast<char>(c)) >= 0; })) {
    QTRACE(trace::kError, kFn, "parseAdminKey: admin key contains invalid hex character");
    ui.showError("The admin key contains an invalid character (allowed: 0-9 A-F).");
    return Outcome::kInvalidInput;
  }
  ossl::SecureBytes upper(text);  // HexStringToBytes upper-cases in place
  key.assign(24, 0);
  if (!HexStringToBytes(ossl::chars(upper), key.data())) {
    wipe(key);
    ui.showError("The admin key contains an invalid character (allowed: 0-9 A-F).");
    return Outcome::kInvalidInput;
  }
  if (isNew && CRYPTO_memcmp(upper.data(), kDefaultAdminKey, kAdminKeyChars) == 0) {
    QTRACE(trace::kWarning, kFn, "parseAdminKey: default admin key is in use");
    if (!ui.askYesNo("Warning: you should change the default admin key. Continue?")) {
      QTRACE(trace::kInformation, kFn, "parseAdminKey: user chose to change the admin key");
      wipe(key);
      return Outcome::kDeclined;
    }
  }
  return Outcome::kDone;
}

}  // namespace quillon::cardops
