// The checks a new secret passes before it reaches the card, shared by
// quillon-card and quillon-manager and worded as card creation words them: a PIN
// of 4 to 16 digits, warned about when it is the default, with a note when
// OpenSC cannot present it; an administrator key of exactly 48 hexadecimal
// digits, warned about when it is the default.
#pragma once

#include "base/OpenSsl.h"
#include "cardops/CardOperations.h"
#include "personalise/FormatCard.h"

namespace quillon::cardops {

// kDone, or kInvalidInput after ui.showError, or kDeclined when the user answered
// No to a warning. `note`, when given, receives a sentence to show once the PIN is
// set (null for none).
Outcome checkNewPin(const ossl::SecureBytes& pin, FormatCardUi& ui, const char** note = nullptr);

// A PIN to present (old PIN): 4 to 16 digits; kDone or kInvalidInput after ui.showError.
Outcome checkPin(const ossl::SecureBytes& pin, FormatCardUi& ui);

// 48 hexadecimal digits (either case) to the 24 key bytes in `key`. `isNew`: the
// default key is warned about. kDone, kInvalidInput or kDeclined as above.
Outcome parseAdminKey(const ossl::SecureBytes& text, bool isNew, FormatCardUi& ui, ossl::SecureBytes& key);

}  // namespace quillon::cardops
