// A card stored on a drive as the APDU shell uses it: cardops::StoredCard, which
// locks, brings up to date and saves the card around each command, with its
// sentences written on the shell's error stream. The lock is held for one command
// only, so that an open shell does not keep the reader or another shell from the card.
#pragma once

#include <ostream>
#include <string>

#include "cardops/StoredCard.h"
#include "cli/ApduShell.h"

namespace quillon::cli {

class StoredShellCard final : public ShellCard {
 public:
  explicit StoredShellCard(cardops::StoredCard& card) : card_(card) {}

  IJCRuntime* begin(std::ostream& err) override {
    std::string error;
    IJCRuntime* runtime = card_.begin(error);
    if (runtime == nullptr) err << "quillon-card apdu: " << error << "\n";
    return runtime;
  }
  bool end(std::ostream& err) override {
    std::string error;
    if (card_.end(error)) return true;
    err << "quillon-card apdu: " << error << "\n";
    return false;
  }

 private:
  cardops::StoredCard& card_;
};

}  // namespace quillon::cli
