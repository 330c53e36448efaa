// The APDU level of the card operations: building short commands, one exchange
// with its whole answer (61xx followed by GET RESPONSE), and the Result shapes of
// a failed exchange. Command data may be a secret: nothing here traces it.
#pragma once

#include <cstdint>
#include <span>

#include "base/OpenSsl.h"
#include "cardops/CardChannel.h"
#include "cardops/CardOperations.h"

namespace quillon::cardops {

inline constexpr std::uint16_t kSwOk = 0x9000;
// The longest answer gathered through GET RESPONSE; a card that keeps saying 61xx
// past it is refused.
inline constexpr std::size_t kMaxAnswer = 65536;

// CLA 00, the header, then Lc and `data` when there are any, then Le 00 when
// `expectData`. `data` holds at most 255 bytes.
ossl::SecureBytes buildCommand(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, std::span<const std::uint8_t> data,
                               bool expectData);

// Sends `command` and gathers the answer's data across 61xx / GET RESPONSE. 0, or
// the channel's error; a card whose answer outgrows kMaxAnswer gives sw 6F00.
std::uint32_t exchange(CardChannel& card, std::span<const std::uint8_t> command, Answer& answer);

// Failures: the channel's error, or a status word the step does not expect.
// `step` completes "... when <step>", e.g. "selecting the GIDS application".
Result channelFailure(const char* step, std::uint32_t error);
Result statusFailure(const char* step, std::uint16_t sw);

// SELECT of the GIDS application by its identifier.
Result selectGidsApplication(CardChannel& card);

// The selection, then a refusal when the card is still in its initialisation
// phase (it has no PIN or administrator key to check yet): VERIFY without data,
// which only such a card answers with 9000.
Result selectPersonalisedCard(CardChannel& card);

}  // namespace quillon::cardops
