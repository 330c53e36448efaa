// The exit statuses of quillon-card. The commands on an existing card return
// cardops::Outcome's numbers, which are these.
#pragma once

#include "cardops/CardOperations.h"

namespace quillon::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // the card, the reader, a file or the input failed
inline constexpr int kExitUsage = 2;        // usage error or invalid input
inline constexpr int kExitDeclined = 3;     // stopped at a warning
inline constexpr int kExitWrongSecret = 4;  // wrong PIN or administrator key
inline constexpr int kExitPinBlocked = 5;
inline constexpr int kExitNoCard = 6;  // no reader, or no card in it

constexpr int exitCode(cardops::Outcome outcome) { return static_cast<int>(outcome); }

static_assert(exitCode(cardops::Outcome::kDone) == kExitOk && exitCode(cardops::Outcome::kFailed) == kExitFailure &&
              exitCode(cardops::Outcome::kInvalidInput) == kExitUsage &&
              exitCode(cardops::Outcome::kDeclined) == kExitDeclined &&
              exitCode(cardops::Outcome::kWrongSecret) == kExitWrongSecret &&
              exitCode(cardops::Outcome::kPinBlocked) == kExitPinBlocked &&
              exitCode(cardops::Outcome::kNoCard) == kExitNoCard);

}  // namespace quillon::cli
