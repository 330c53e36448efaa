// Mutual authentication of the administrator: MANAGE SECURITY ENVIRONMENT for the
// key of reference 80, then two GENERAL AUTHENTICATE exchanges in which each side
// proves with triple-DES (CBC, zero vector) that it holds the 24-byte key.
#pragma once

#include "base/OpenSsl.h"
#include "cardops/CardChannel.h"
#include "cardops/CardOperations.h"

namespace quillon::cardops {

// kDone once the card is satisfied and its own answer checks out; kWrongSecret
// when the card refuses the key; kFailed for anything else.
Result authenticateAdministrator(CardChannel& card, const ossl::SecureBytes& adminKey);

}  // namespace quillon::cardops
