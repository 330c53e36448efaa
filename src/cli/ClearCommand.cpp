// quillon-card clear: the virtual reader ejects its card and the container is deleted.
#include <iostream>

#include "cli/Arguments.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "personalise/FormatCard.h"
#include "personalise/ReaderControl.h"

namespace quillon::cli {

namespace {
constexpr const char* kUsage =
    "Usage: quillon-card clear DRIVE\n"
    "\n"
    "Empties the card on DRIVE, the mount point of a removable USB drive: the\n"
    "Brindleworth virtual reader (through pcscd) ejects its card, then\n"
    "DRIVE/Quillon2.bin is deleted. The reader has no card afterwards, until a\n"
    "later 'quillon-card init' gives it one. Nothing is deleted unless the reader\n"
    "ejected its card; without a reader, delete the file yourself.\n"
    "\n"
    "Exit status: 0 the card was ejected and the container deleted, or there was\n"
    "no container; 1 the reader was not found or not reached, it did not eject its\n"
    "card, or the container could not be deleted; 2 usage error.\n";

constexpr const char* kPrefix = "quillon-card clear: ";
}  // namespace

int clearCommand(int argc, char** argv) {
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kPrefix, {}, 1, kUsage}, args); exit >= 0) return exit;
  if (args.positional.empty()) {
    std::cerr << kPrefix << "no drive given (a mount point)\n" << kUsage;
    return kExitUsage;
  }
  std::string drive = args.positional[0];
  while (drive.size() > 1 && drive.back() == '/') drive.pop_back();

  const ClearResult result = Clear(drive);
  if (result.failedStep == ReaderStep::kNone) {
    if (result.deleted)
      std::cout << "The card on " << drive << " was ejected from the virtual reader and deleted.\n";
    else
      std::cout << "The virtual reader's card was ejected; there was no card on " << drive << " to delete.\n";
    return kExitOk;
  }
  if (cardInUse(result.status)) std::cerr << kPrefix << kCardInUse << "\n";
  if (const char* message = readerFailureMessage(result.failedStep, result.status))
    std::cerr << kPrefix << message << "\n";
  if (result.failedStep == ReaderStep::kDrive) return kExitUsage;
  std::cerr << kPrefix << statusMessage(result.status) << "\n";
  return kExitFailure;
}

}  // namespace quillon::cli
