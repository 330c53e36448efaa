// quillon-card: the command-line front end of the card wizard.
#include <exception>
#include <iostream>
#include <new>
#include <string_view>

#include "base/Trace.h"
#include "cli/ApduShell.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"

namespace {

constexpr const char* kUsage =
    "Usage: quillon-card COMMAND [ARGUMENTS]\n"
    "\n"
    "Turns a removable USB drive into a GIDS smart card, and works with such cards.\n"
    "\n"
    "Commands:\n"
    "  init              Create a new card on a drive (PIN, administrator key, serial\n"
    "                    number) and have the Brindleworth virtual reader serve it.\n"
    "  insert            Have the virtual reader serve the card already on a drive.\n"
    "  eject             Have the virtual reader let go of its card (nothing is deleted).\n"
    "  info              Show the reader, its card, PIN tries, key containers and\n"
    "                    certificates.\n"
    "  change-pin        Change the PIN.\n"
    "  unblock-pin       Set a new PIN with the administrator key.\n"
    "  change-admin-key  Change the administrator key.\n"
    "  clear             Eject the virtual reader's card and delete the card on a drive.\n"
    "  apdu              Send command APDUs to a card: a fresh one in memory, the\n"
    "                    reader's, or a stored one.\n"
    "  decrypt           Write a card's state out in clear, for diagnosis.\n"
    "  list              List the drives a card can be created on.\n"
    "  help              Show this text (also --help); --version shows the version.\n"
    "\n"
    "info, change-pin, unblock-pin and change-admin-key work on the card the virtual\n"
    "reader serves, or with --drive DRIVE or --dir DIR --identity ... on a stored\n"
    "card. Their exit statuses: 0 done; 1 the card or the reader failed; 2 usage\n"
    "or invalid input; 3 stopped at a warning; 4 wrong PIN or administrator key;\n"
    "5 PIN blocked; 6 no reader or no card.\n"
    "\n"
    "Run 'quillon-card COMMAND --help' for the details of a command.\n"
    "Tracing: set QUILLON_TRACE (for example QUILLON_TRACE=4 or QUILLON_TRACE=5:/tmp/trace.log).\n";

bool isHelp(std::string_view arg) { return arg == "--help" || arg == "-h" || arg == "help"; }

int run(int argc, char** argv) {
  using namespace quillon::cli;
  if (argc < 2) {
    std::cerr << kUsage;
    return kExitUsage;
  }
  const std::string_view command = argv[1];
  if (isHelp(command)) {
    std::cout << kUsage;
    return kExitOk;
  }
  if (command == "--version") {
    std::cout << "quillon-card " << QUILLON_VERSION << "\n";
    return kExitOk;
  }
  if (command == "init") return initCommand(argc - 1, argv + 1);
  if (command == "clear") return clearCommand(argc - 1, argv + 1);
  if (command == "apdu") return apduCommand(argc - 1, argv + 1);
  if (command == "decrypt") return decryptCommand(argc - 1, argv + 1);
  if (command == "list") return listCommand(argc - 1, argv + 1);
  if (command == "insert") return insertCommand(argc - 1, argv + 1);
  if (command == "eject") return ejectCommand(argc - 1, argv + 1);
  if (command == "info") return infoCommand(argc - 1, argv + 1);
  if (command == "change-pin") return changePinCommand(argc - 1, argv + 1);
  if (command == "unblock-pin") return unblockPinCommand(argc - 1, argv + 1);
  if (command == "change-admin-key") return changeAdminKeyCommand(argc - 1, argv + 1);
  std::cerr << "quillon-card: unknown command '" << command << "'\n" << kUsage;
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  quillon::trace::ProviderRegistration tracing;
  // The commands report their own failures; whatever escapes them still ends
  // the program with a sentence and a failure status, never an abort.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::cerr << "quillon-card: out of memory\n";
  } catch (const std::exception& e) {
    std::cerr << "quillon-card: internal error: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "quillon-card: internal error\n";
  }
  return quillon::cli::kExitFailure;
}
