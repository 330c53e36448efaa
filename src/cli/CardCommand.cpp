#include "cli/CardCommand.h"

#include <iostream>

#include "base/Status.h"
#include "cardops/ReaderCard.h"
#include "cli/CardTarget.h"
#include "cli/ExitCodes.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

using cardops::Outcome;

namespace {

constexpr const char* kCardChoiceHelp =
    "The card is the one the Brindleworth virtual reader serves, reached through\n"
    "PC/SC in one transaction that ends by resetting the card, so that no PIN or\n"
    "administrator right stays open to other programs. Instead:\n"
    "  --drive DRIVE          the card stored on DRIVE, used in this process (when\n"
    "                         the reader serves DRIVE's card, through the reader)\n"
    "  --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL\n"
    "                         the card stored in a directory standing in for a drive\n";

constexpr const char* kCardExitStatuses =
    "Exit status:\n"
    "  0  done\n"
    "  1  the card or the reader failed\n"
    "  2  usage error or invalid input\n"
    "  3  stopped at a warning\n"
    "  4  wrong PIN or administrator key (the message says how many tries are left)\n"
    "  5  the PIN is blocked\n"
    "  6  no reader, or no card in it\n";

}  // namespace

std::string cardUsage(const char* head, bool choice, const char* note, Options options) {
  std::string text = head;
  if (choice) text += std::string(kCardChoiceHelp) + "\n";
  text += note;
  std::string lists;
  for (unsigned list = 1; list <= 2; ++list) lists += optionList(options, list);
  if (!lists.empty()) text += lists + "\n";
  return text + kCardExitStatuses;
}

cardops::Result readerHasCard(const cardops::ReaderStatus& status) {
  if (!status.readerFound) {
    if (status.error == status::SCARD_E_NO_SERVICE)
      return {Outcome::kNoCard, "The smart-card service (pcscd) is not running.", -1};
    if (status.error != 0)
      return {Outcome::kFailed, "The smart-card service could not be asked: " + statusMessage(status.error), -1};
    return {Outcome::kNoCard, "The Brindleworth virtual reader was not found.", -1};
  }
  if (!status.cardPresent)
    return {Outcome::kNoCard, "The virtual reader has no card ('quillon-card insert DRIVE' gives it a stick's card).",
            -1};
  return {};
}

cardops::Result findCard(const Arguments& args, CardSource& source) {
  cardops::Result chosen = chooseCard(args, systemPaths(), source);
  if (chosen.outcome != Outcome::kDone || !source.reader) return chosen;
  return readerHasCard(cardops::readReaderStatus());
}

int report(const char* prefix, const cardops::Result& result) {
  if (result.outcome != Outcome::kDone && !result.message.empty()) std::cerr << prefix << result.message << "\n";
  return exitCode(result.outcome);
}

}  // namespace quillon::cli
