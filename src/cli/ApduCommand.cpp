// quillon-card apdu: an APDU shell on a fresh card in memory or on a stored card.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include "base/FileHandle.h"
#include "cli/ApduShell.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/StoredCard.h"
#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/JCRuntimeImpl.h"
#include "personalise/FormatCard.h"
#include "platform/DeviceDetails.h"

namespace quillon::cli {

namespace {

constexpr const char* kUsage =
    "Usage: quillon-card apdu [FILE]\n"
    "       quillon-card apdu --drive DRIVE [FILE]\n"
    "       quillon-card apdu --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL [FILE]\n"
    "\n"
    "Sends command APDUs, read from FILE or from standard input, to a GIDS card:\n"
    "without --drive or --dir, to a fresh card held in memory; with them, to the\n"
    "card stored on the drive (or in the directory standing in for one), which is\n"
    "saved again as the card asks, after every command.\n"
    "\n"
    "A stored card is shared with the virtual reader and other programs: each\n"
    "command waits until no other program's command runs on the card (at most 5\n"
    "seconds). A card that another program changed since the last command is read\n"
    "again first, which resets it: select the application and verify again.\n"
    "\n"
    "Input: one command per line in hexadecimal digits (CLA INS P1 P2 [Lc data] [Le]);\n"
    "blanks may stand between digits, '#' starts a comment, empty lines are skipped.\n"
    "\n"
    "Output: one line per command, written as soon as the command has run: the\n"
    "response data in upper-case hexadecimal, a blank, then the status word in\n"
    "four digits (for example '9000', or '7F7106970103930103 9000'). A program\n"
    "can therefore send a command, read its answer and choose the next one.\n"
    "\n"
    "Exit status: 0 when every line was sent (and a stored card saved); 1 when a\n"
    "line is not hexadecimal or cannot be sent, or the stored card cannot be opened\n"
    "or saved, or stays in use by another program (the message says which); 2 for a\n"
    "usage error.\n";

// The identity the stored card's key is derived from.
bool identityOf(const CardTarget& target, DeviceIdentity& identity) {
  if (target.identity) {
    identity = *target.identity;
    return true;
  }
  platform::DeviceDetails details;
  std::uint32_t status = 0;
  if (!platform::GetDeviceDetails(systemPaths(), target.drive, details, status)) {
    std::cerr << "quillon-card apdu: " << target.drive << " is not a usable removable drive: " << statusMessage(status)
              << "\n";
    return false;
  }
  identity = {details.vendor, details.product, details.revision, details.serial};
  return true;
}

int storedCard(const CardTarget& target, int in) {
  DeviceIdentity identity;
  if (!identityOf(target, identity)) return kExitFailure;
  GidsAppletInstaller installer;
  StoredCard card(target.drive, [&](std::ostream& err) -> std::optional<LoadedCard> {
    auto persist = std::make_unique<FilePersist>(identity.serial.c_str(), identity.vendor.c_str(),
                                                 identity.product.c_str(), identity.revision.c_str(), target.drive);
    std::unique_ptr<JCRuntimeImpl> runtime = persist->createRuntime(installer);
    if (!persist->hasKey()) {
      err << "quillon-card apdu: no container key can be derived from this device's identity\n";
      return std::nullopt;
    }
    if (persist->refusesSaving()) {
      const std::string& why = persist->loadFailure();
      err << "quillon-card apdu: the card in " << persist->path()
          << " cannot be opened: " << (why.empty() ? "it does not load" : why) << "; it is left untouched\n";
      return std::nullopt;
    }
    if (runtime->getApplet() == nullptr) {
      err << "quillon-card apdu: there is no card in " << persist->path() << "\n";
      return std::nullopt;
    }
    return LoadedCard{std::move(persist), std::move(runtime)};
  });
  if (!card.open(std::cerr)) return kExitFailure;
  // Each command is saved as it runs, under the drive's lock.
  return runApduShell(card, in, std::cout, std::cerr);
}

}  // namespace

int apduCommand(int argc, char** argv) {
  Arguments args;
  std::string error;
  if (!parseArguments(argc, argv, 1, {"drive", "dir", "identity"}, {"help"}, args, error) ||
      args.positional.size() > 1) {
    std::cerr << "quillon-card apdu: " << (error.empty() ? "too many arguments" : error) << "\n" << kUsage;
    return kExitUsage;
  }
  if (args.has("help")) {
    std::cout << kUsage;
    return kExitOk;
  }
  // Read with read(2), never through a stream: the commands may carry PINs and keys.
  FileHandle file;
  if (!args.positional.empty()) {
    file = FileHandle(::open(args.positional[0].c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
      std::cerr << "quillon-card apdu: cannot open '" << args.positional[0] << "': " << std::strerror(errno) << "\n";
      return kExitFailure;
    }
  }
  const int in = file.valid() ? file.get() : STDIN_FILENO;

  if (args.value("drive") == nullptr && args.value("dir") == nullptr) {
    if (args.value("identity") != nullptr) {
      std::cerr << "quillon-card apdu: --identity is only for --dir\n";
      return kExitUsage;
    }
    JCRuntimeImpl runtime;
    GidsApplet::install(runtime);
    return runApduShell(runtime, in, std::cout, std::cerr);
  }
  CardTarget target;
  if (!resolveTarget(args.value("drive"), args, target, error)) {
    std::cerr << "quillon-card apdu: " << error << "\n";
    return kExitUsage;
  }
  return storedCard(target, in);
}

}  // namespace quillon::cli
