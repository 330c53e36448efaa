// quillon-card eject and insert: the virtual reader lets go of its card, or takes
// up the card already on a stick.
#include <iostream>

#include "cardops/ReaderCard.h"
#include "cli/CardCommand.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"

namespace quillon::cli {

namespace {

constexpr const char* kEjectPrefix = "quillon-card eject: ";
constexpr const char* kInsertPrefix = "quillon-card insert: ";

constexpr const char* kEjectHead =
    "Usage: quillon-card eject\n"
    "\n"
    "The Brindleworth virtual reader lets go of its card (EJECT): PC/SC programs\n"
    "see no card. Nothing is deleted: the card stays on its stick, and\n"
    "'quillon-card insert DRIVE' has the reader serve it again.\n"
    "\n";

constexpr const char* kInsertHead =
    "Usage: quillon-card insert DRIVE\n"
    "\n"
    "The Brindleworth virtual reader takes up the card already on DRIVE, the mount\n"
    "point of a USB stick (SWALLOW), for example one prepared on another computer\n"
    "with 'quillon-card init --no-reader'. Refused, with nothing sent to the\n"
    "reader, when DRIVE holds no card, or one that does not open with this stick's\n"
    "identity (status 2), or when the reader serves another stick's card: eject\n"
    "it first (status 3).\n"
    "\n";

}  // namespace

int ejectCommand(int argc, char** argv) {
  const std::string usage = cardUsage(kEjectHead, false, "", {});
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kEjectPrefix, {}, 0, usage}, args); exit >= 0) return exit;
  const cardops::Result result = cardops::ejectReaderCard();
  if (result.outcome != cardops::Outcome::kDone) return report(kEjectPrefix, result);
  std::cout << "The virtual reader has no card now; the card stays on its stick.\n";
  return kExitOk;
}

int insertCommand(int argc, char** argv) {
  const std::string usage = cardUsage(kInsertHead, false, "", {});
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kInsertPrefix, {}, 1, usage}, args); exit >= 0) return exit;
  if (args.positional.empty()) {
    std::cerr << kInsertPrefix << "no drive given (the mount point of a USB stick)\n" << usage;
    return kExitUsage;
  }
  std::string drive = args.positional[0];
  while (drive.size() > 1 && drive.back() == '/') drive.pop_back();
  const cardops::Result result = cardops::insertCard(drive, systemPaths());
  if (result.outcome != cardops::Outcome::kDone) return report(kInsertPrefix, result);
  std::cout << "The virtual reader serves the card on " << drive << ".\n";
  return kExitOk;
}

}  // namespace quillon::cli
