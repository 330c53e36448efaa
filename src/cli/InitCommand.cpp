// quillon-card init: the card initialisation request without the dialog, with
// the virtual reader around it unless --no-reader, and the blank card variant.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "base/Status.h"
#include "cli/Arguments.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/Secrets.h"
#include "cli/TerminalUi.h"
#include "container/ContainerFile.h"
#include "container/FilePersist.h"
#include "personalise/CreateBlankContainer.h"
#include "personalise/DevicePath.h"
#include "personalise/FormatCard.h"
#include "personalise/ReaderControl.h"

namespace quillon::cli {

namespace {

// The modes of init that an option belongs to.
constexpr unsigned kCardMode = 1, kBlankMode = 2;

constexpr Option kOptions[] = {
    {"dir", "DIR"},
    {"identity", "VENDOR:PRODUCT:REVISION:SERIAL"},
    {"no-reader", nullptr,
     "write the container without the virtual reader: to\n"
     "prepare a stick for another computer, or where there\n"
     "is no reader",
     1},
    {"blank", nullptr,
     "create a card still in its initialisation phase: no\n"
     "PIN, administrator key, serial number or files, to be\n"
     "personalised through the reader with another tool\n"
     "(for example OpenSC's 'gids-tool --initialize')",
     1},
    {"pin-file", "FILE", "read the PIN from the first line of FILE", 2, kCardMode},
    {"pin-fd", "N", "read the PIN as one line from file descriptor N", 2, kCardMode},
    {"admin-key-file", "FILE", "read the administrator key (48 hex digits) from FILE", 2, kCardMode},
    {"admin-key-fd", "N",
     "read it as one line from file descriptor N\n"
     "(PIN and key may share one descriptor: PIN line first)",
     2, kCardMode},
    {"serial", "HEX", "the card serial number, 32 hex digits (default: random)", 2, kCardMode},
    {"yes", nullptr,
     "continue past the warnings (existing container,\n"
     "default PIN or administrator key) without asking",
     2},
};

const std::string kUsage =
    "Usage: quillon-card init DRIVE [OPTIONS]\n"
    "       quillon-card init --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL --no-reader [OPTIONS]\n"
    "       quillon-card init --blank DRIVE [--no-reader] [--yes]\n"
    "\n"
    "Creates a new GIDS card on DRIVE, the mount point of a removable USB drive: a\n"
    "fresh card personalised with the PIN, the administrator key and the serial\n"
    "number, written as DRIVE/Quillon2.bin and sealed with a key derived from the\n"
    "USB device's identity. The Brindleworth virtual reader (through pcscd) first\n"
    "ejects its card, and once the new card is written it takes it up and serves it\n"
    "to every PC/SC program.\n"
    "\n"
    "With --dir a directory stands in for the drive and the identity is given\n"
    "instead of read from the device (the same stick gives the same identity on any\n"
    "computer: see 'quillon-card list'). A directory that is not the mount point of\n"
    "a volume gives the reader nothing to serve: use --no-reader with it.\n"
    "\n" +
    optionList(kOptions, 1) +
    "\n"
    "Secrets are never given on the command line. Without the options below the\n"
    "PIN and the administrator key are asked for on the terminal, without echo.\n" +
    optionList(kOptions, 2) +
    "\n"
    "The PIN has 4 to 16 digits (OpenSC takes at most 15). Exit status: 0 card\n"
    "created (and, with the reader, served); 1 the creation failed, or the reader\n"
    "could not be reached or did not take the card up; 2 usage error or invalid\n"
    "input, including a drive that is not a mounted volume when the reader is used;\n"
    "3 stopped at a warning.\n";

constexpr const char* kPrefix = "quillon-card init: ";

// What the user is told about a creation or reader step that failed, before the
// status itself.
void explainFailure(ReaderStep step, std::uint32_t status) {
  if (cardInUse(status)) std::cerr << kPrefix << kCardInUse << "\n";
  if (const char* message = readerFailureMessage(step, status)) std::cerr << kPrefix << message << "\n";
  const bool noReader = step == ReaderStep::kEstablishContext || step == ReaderStep::kFindReader ||
                        (step == ReaderStep::kListReaders && status == quillon::status::SCARD_E_NO_READERS_AVAILABLE);
  if (noReader) std::cerr << kPrefix << "(--no-reader writes the card without the reader)\n";
}

// The card is only created where the reader can be told which volume holds it;
// finding that out first keeps a typing mistake from ejecting the reader's card.
bool readerCanServe(const std::string& drive, const platform::SystemPaths& paths) {
  std::string devicePath;
  const std::uint32_t status = BuildPnpPathFromDriveLetter(drive, devicePath, paths);
  if (status == 0) return true;
  std::cerr << kPrefix << drive << " is not the mount point of a volume that the virtual reader can serve ("
            << statusMessage(status) << "); --no-reader writes the card without the reader\n";
  return false;
}

Progress terminalProgress() {
  if (::isatty(STDERR_FILENO) != 1) return nullptr;
  return [](const char* phase) { std::cerr << "quillon-card: " << phase << "...\n"; };
}

int initBlank(const CardTarget& target, bool useReader, bool yes, const platform::SystemPaths& paths) {
  TerminalUi ui(kPrefix, yes);
  const std::string container = container::containerPathOn(target.drive);
  struct stat st {};
  if (::lstat(container.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) &&
      !ui.askYesNo("Warning: a secure container already exists on this device. Continue?"))
    return kExitDeclined;

  ReaderStep step = ReaderStep::kNone;
  const std::uint32_t status =
      useReader ? FormatBlank(target.drive, target.identityOrNull(), paths, terminalProgress(), &step)
                : CreateBlankContainer(target.drive, target.identityOrNull(), paths, terminalProgress());
  if (status != 0) {
    explainFailure(step, status);
    ui.showError(statusMessage(status).c_str());
    return kExitFailure;
  }
  std::cout << "A blank GIDS card was created on " << target.drive
            << (useReader ? "; the virtual reader serves it, ready to be personalised.\n"
                          : ", ready to be personalised through the virtual reader.\n");
  return kExitOk;
}

}  // namespace

int initCommand(int argc, char** argv) {
  Arguments args;
  // Any number of words parse; more than one is refused after --help.
  if (const int exit = parseCommand(argc, argv, {kPrefix, kOptions, SIZE_MAX, kUsage}, args); exit >= 0) return exit;
  if (args.positional.size() > 1) {
    std::cerr << kPrefix << "too many arguments\n" << kUsage;
    return kExitUsage;
  }
  if (!oneSourceEach(args, kOptions, kPrefix)) return kExitUsage;
  const bool blank = args.has("blank");
  if (const Option* option = outsideMode(args, kOptions, blank ? kBlankMode : kCardMode)) {
    std::cerr << kPrefix << "--blank takes no --" << option->name
              << ": the tool that personalises the card sets the PIN, key and serial number\n";
    return kExitUsage;
  }
  std::string error;
  CardTarget target;
  if (!resolveTarget(args.positional.empty() ? nullptr : &args.positional[0], args, target, error)) {
    std::cerr << kPrefix << error << "\n";
    return kExitUsage;
  }
  if (target.drive.empty()) {
    std::cerr << kPrefix << "No drive has been selected.\n";
    return kExitUsage;
  }
  const bool useReader = !args.has("no-reader");
  const platform::SystemPaths paths = systemPaths();
  if (useReader && !readerCanServe(target.drive, paths)) return kExitUsage;
  if (blank) return initBlank(target, useReader, args.has("yes"), paths);

  FormatCardInput input;
  input.drive = target.drive;
  input.identity = target.identityOrNull();
  if (const std::string* serial = args.value("serial")) {
    input.serial = *serial;
  } else if (!GenerateSerialNumber(input.serial)) {
    std::cerr << kPrefix << "Failed to generate a random serial number.\n";
    return kExitFailure;
  }
  if (!readNewSecret(args.value("pin-file"), args.value("pin-fd"), "PIN: ", input.pin, error)) {
    std::cerr << kPrefix << "no PIN: " << error << " (give --pin-file or --pin-fd, or run on a terminal)\n";
    return kExitUsage;
  }
  if (!readNewSecret(args.value("admin-key-file"), args.value("admin-key-fd"),
                     "Administrator key (48 hex digits): ", input.adminKey, error)) {
    std::cerr << kPrefix << "no administrator key: " << error
              << " (give --admin-key-file or --admin-key-fd, or run on a terminal)\n";
    return kExitUsage;
  }

  const Progress progress = terminalProgress();
  CardCreator create = [&](const char* pin, const std::uint8_t key[24], const char* serial, const std::string& drive,
                           const DeviceIdentity* identity) {
    ReaderStep step = ReaderStep::kNone;
    const std::uint32_t status = useReader ? Format(pin, key, serial, drive, identity, paths, progress, &step)
                                           : CreateSecureContainer(pin, key, serial, drive, identity, paths, progress);
    if (status != 0) explainFailure(step, status);  // FormatCard shows the status after this
    return status;
  };
  TerminalUi ui(kPrefix, args.has("yes"));
  const FormatCardResult result = FormatCard(input, ui, create);
  switch (result.outcome) {
    case FormatOutcome::kCreated:
      std::cout << "The GIDS card was created on " << target.drive << " (serial number " << result.serial << ")"
                << (useReader ? "; the virtual reader serves it.\n" : ".\n");
      if (result.note != nullptr) std::cerr << kPrefix << "note: " << result.note << "\n";
      return kExitOk;
    case FormatOutcome::kDeclined: return kExitDeclined;
    case FormatOutcome::kInvalidInput: return kExitUsage;
    case FormatOutcome::kFailed: return kExitFailure;
  }
  return kExitFailure;
}

}  // namespace quillon::cli
