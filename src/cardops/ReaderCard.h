// The virtual reader and the card it serves, through PC/SC: whether the reader is
// there and has a card (and which volume it serves), operations on that card, and
// telling the reader to let go of its card (EJECT) or to take up a stick's
// (SWALLOW). Each operation on the card runs inside one PC/SC transaction and ends
// by resetting the card, so that no verified PIN or administrator right stays open
// to other programs.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "cardops/CardOperations.h"
#include "personalise/PcscApi.h"
#include "platform/SystemPaths.h"

namespace quillon::cardops {

struct ReaderStatus {
  bool readerFound = false;
  bool cardPresent = false;
  std::string readerName;   // "Brindleworth Virtual Reader 00 00"
  std::string volume;       // the device path of the volume served; empty for none
  std::uint32_t error = 0;  // the PC/SC status when the reader could not be asked
};

ReaderStatus readReaderStatus(const PcscApi& pcsc = systemPcsc());

// Runs `work` over the served card in one transaction, then resets the card.
// kNoCard (with a message) when there is no reader or no card.
Result withReaderCard(const std::function<Result(CardChannel&)>& work, const PcscApi& pcsc = systemPcsc());

// EJECT: the reader lets go of its card; nothing is deleted.
Result ejectReaderCard(const PcscApi& pcsc = systemPcsc());

// SWALLOW with the device path of the volume mounted at `drive`. Refused, with
// nothing sent, when the drive holds no container, one that does not open with
// its stick's identity, or when the reader serves another stick's card.
Result insertCard(const std::string& drive, const platform::SystemPaths& paths, const PcscApi& pcsc = systemPcsc());

}  // namespace quillon::cardops
