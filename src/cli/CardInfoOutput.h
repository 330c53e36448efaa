// What `quillon-card info` prints: the reader, whether it has a card, and the
// card's state, as lines for people or as one JSON object for programs.
#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "cardops/CardOperations.h"

namespace quillon::cli {

struct InfoReport {
  std::string reader;  // the virtual reader's name; empty when it is not there or not asked
  bool cardPresent = false;
  const cardops::CardInfo* card = nullptr;  // null when the card was not read
};

void writeInfoText(std::ostream& out, const InfoReport& report);

// Keys: reader (its name or null), cardPresent, serial, pinTriesLeft (null when
// unknown), pinBlocked, initialisationPhase, containers, certificates; the card's
// keys are null when it was not read.
void writeInfoJson(std::ostream& out, const InfoReport& report);

// `text` as a JSON string, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string jsonString(std::string_view text);

}  // namespace quillon::cli
