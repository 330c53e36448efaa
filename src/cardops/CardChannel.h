// A conversation with one card: command APDUs in, answers out. The card the
// virtual reader serves is reached through PC/SC, a stored card in this process;
// the operations of CardOperations.h run over either and never learn which.
#pragma once

#include <cstdint>
#include <span>

#include "base/OpenSsl.h"

namespace quillon::cardops {

struct Answer {
  ossl::SecureBytes data;  // without the status word
  std::uint16_t sw = 0;
};

class CardChannel {
 public:
  virtual ~CardChannel() = default;
  // Sends one short command APDU. 0, or the error (a PC/SC status or an
  // HRESULT) that kept it from being answered; `answer` is then unspecified.
  virtual std::uint32_t transmit(std::span<const std::uint8_t> command, Answer& answer) = 0;
};

}  // namespace quillon::cardops
