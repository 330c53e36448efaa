// quillon-card apdu: an APDU shell on a fresh card in memory or on a stored card.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>

#include "base/FileHandle.h"
#include "cardops/ReaderCard.h"
#include "cardops/StoredCard.h"
#include "cli/ApduShell.h"
#include "cli/CardCommand.h"
#include "cli/CardSource.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "cli/StoredCard.h"
#include "gids/GidsAppletInstaller.h"
#include "runtime/JCRuntimeImpl.h"

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
    "saved again as the card asks, after every command. When the virtual reader\n"
    "serves DRIVE's card, the commands go to it through the reader instead, in one\n"
    "PC/SC transaction that ends by resetting the card (other programs wait).\n"
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

constexpr const char* kPrefix = "quillon-card apdu: ";
constexpr Option kOptions[] = {kDriveOption, kDirOption, kIdentityOption};

int storedCard(const CardSource& source, int in) {
  GidsAppletInstaller installer;
  cardops::StoredCard card(source.drive, [&](std::string& error) {
    return cardops::loadStoredCard(source.drive, source.identity, installer, error);
  });
  std::string error;
  if (!card.open(error)) {
    std::cerr << kPrefix << error << "\n";
    return kExitFailure;
  }
  // Each command is saved as it runs, under the drive's lock.
  StoredShellCard shell(card);
  return runApduShell(shell, in, std::cout, std::cerr);
}

// The served card: one transaction for the whole session, ended with a reset.
int readerCard(int in) {
  int status = kExitOk;
  const cardops::Result result = cardops::withReaderCard([&](cardops::CardChannel& channel) {
    status = runApduShell(channel, in, std::cout, std::cerr);
    return cardops::Result{};
  });
  if (result.outcome != cardops::Outcome::kDone) {
    std::cerr << kPrefix << result.message << "\n";
    return kExitFailure;
  }
  return status;
}

}  // namespace

int apduCommand(int argc, char** argv) {
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kPrefix, kOptions, 1, kUsage}, args); exit >= 0) return exit;
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
      std::cerr << kPrefix << "--identity is only for --dir\n";
      return kExitUsage;
    }
    JCRuntimeImpl runtime;
    GidsApplet::install(runtime);
    return runApduShell(runtime, in, std::cout, std::cerr);
  }
  CardSource source;
  const cardops::Result chosen = chooseCard(args, systemPaths(), source);
  if (chosen.outcome != cardops::Outcome::kDone) {
    std::cerr << kPrefix << chosen.message << "\n";
    return chosen.outcome == cardops::Outcome::kInvalidInput ? kExitUsage : kExitFailure;
  }
  return source.reader ? readerCard(in) : storedCard(source, in);
}

}  // namespace quillon::cli
