// quillon-card init: the card initialisation request without the dialog.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "cli/ApduShell.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/Secrets.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

namespace {

constexpr const char* kUsage =
    "Usage: quillon-card init DRIVE [OPTIONS]\n"
    "       quillon-card init --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL [OPTIONS]\n"
    "\n"
    "Creates a new GIDS card on DRIVE, the mount point of a removable USB drive: a\n"
    "fresh card personalised with the PIN, the administrator key and the serial\n"
    "number, written as DRIVE/Quillon2.bin and sealed with a key derived from the\n"
    "USB device's identity. With --dir a directory stands in for the drive and the\n"
    "identity is given instead of read from the device (the same stick gives the\n"
    "same identity on any computer: see 'quillon-card list').\n"
    "\n"
    "Secrets are never given on the command line. Without the options below the\n"
    "PIN and the administrator key are asked for on the terminal, without echo.\n"
    "  --pin-file FILE        read the PIN from the first line of FILE\n"
    "  --pin-fd N             read the PIN as one line from file descriptor N\n"
    "  --admin-key-file FILE  read the administrator key (48 hex digits) from FILE\n"
    "  --admin-key-fd N       read it as one line from file descriptor N\n"
    "                         (PIN and key may share one descriptor: PIN line first)\n"
    "  --serial HEX           the card serial number, 32 hex digits (default: random)\n"
    "  --yes                  continue past the warnings (existing container,\n"
    "                         default PIN or administrator key) without asking\n"
    "\n"
    "The PIN has 4 to 16 digits. Exit status: 0 card created; 1 the creation failed;\n"
    "2 usage error or invalid input; 3 stopped at a warning.\n";

class TerminalUi final : public FormatCardUi {
 public:
  explicit TerminalUi(bool yes) : yes_(yes) {}
  void showError(const char* message) override { std::cerr << "quillon-card init: " << message << "\n"; }
  bool askYesNo(const char* question) override {
    if (yes_) return true;
    std::cerr << question;
    if (!stdinIsTerminal()) {
      std::cerr << "\nquillon-card init: not a terminal to answer on; run again with --yes to continue\n";
      return false;
    }
    std::cerr << " [y/N] " << std::flush;
    std::string answer;
    if (!std::getline(std::cin, answer)) return false;
    return answer == "y" || answer == "Y" || answer == "yes";
  }

 private:
  bool yes_;
};

}  // namespace

int initCommand(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!parseArguments(argc, argv, 1,
                      {"dir", "identity", "pin-file", "pin-fd", "admin-key-file", "admin-key-fd", "serial"},
                      {"yes", "help"}, args, error)) {
    std::cerr << "quillon-card init: " << error << "\n" << kUsage;
    return kExitUsage;
  }
  if (args.has("help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (args.positional.size() > 1) {
    std::cerr << "quillon-card init: too many arguments\n" << kUsage;
    return kExitUsage;
  }
  CardTarget target;
  if (!resolveTarget(args.positional.empty() ? nullptr : &args.positional[0], args, target, error)) {
    std::cerr << "quillon-card init: " << error << "\n";
    return kExitUsage;
  }

  FormatCardInput input;
  input.drive = target.drive;
  input.identity = target.identityOrNull();
  if (const std::string* serial = args.value("serial")) input.serial = *serial;
  if (!readSecret(args.value("pin-file"), args.value("pin-fd"), "PIN: ", input.pin, error)) {
    std::cerr << "quillon-card init: no PIN: " << error
              << " (give --pin-file or --pin-fd, or run on a terminal)\n";
    return kExitUsage;
  }
  if (!readSecret(args.value("admin-key-file"), args.value("admin-key-fd"), "Administrator key (48 hex digits): ",
                  input.adminKey, error)) {
    std::cerr << "quillon-card init: no administrator key: " << error
              << " (give --admin-key-file or --admin-key-fd, or run on a terminal)\n";
    return kExitUsage;
  }

  const bool showProgress = ::isatty(STDERR_FILENO) == 1;
  const platform::SystemPaths paths = systemPaths();
  CardCreator create = [&](const char* pin, const std::uint8_t key[24], const char* serial, const std::string& drive,
                           const DeviceIdentity* identity) {
    return CreateSecureContainer(pin, key, serial, drive, identity, paths, [&](const char* phase) {
      if (showProgress) std::cerr << "quillon-card: " << phase << "...\n";
    });
  };
  TerminalUi ui(args.has("yes"));
  const FormatCardResult result = FormatCard(input, ui, create);
  switch (result.outcome) {
    case FormatOutcome::kCreated:
      std::cout << "The GIDS card was created on " << target.drive << " (serial number " << result.serial << ").\n";
      return kExitOk;
    case FormatOutcome::kDeclined: return kExitDeclined;
    case FormatOutcome::kInvalidInput: return kExitUsage;
    case FormatOutcome::kFailed: return kExitFailure;
  }
  return kExitFailure;
}

}  // namespace quillon::cli
