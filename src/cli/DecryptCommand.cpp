// quillon-card decrypt: writes a card's state out in clear for diagnosis.
#include <iostream>

#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "personalise/DecryptSecureContainer.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

namespace {
constexpr const char* kUsage =
    "Usage: quillon-card decrypt DRIVE\n"
    "       quillon-card decrypt --dir DIR --identity VENDOR:PRODUCT:REVISION:SERIAL\n"
    "\n"
    "Opens the card on DRIVE with the key of its USB device and writes its state,\n"
    "unencrypted, into the current directory: Quillon.decrypted.bin (the compressed\n"
    "state) and Quillon.decrypted.xml.txt (the state document). Both hold the PIN\n"
    "and the keys in clear; they are created readable by their owner only.\n"
    "\n"
    "Exit status: 0 both files written; 1 the card could not be read or the files\n"
    "not written; 2 usage error.\n";
constexpr const char* kPrefix = "quillon-card decrypt: ";
constexpr Option kOptions[] = {{"dir", "DIR"}, {"identity", "VENDOR:PRODUCT:REVISION:SERIAL"}};
}  // namespace

int decryptCommand(int argc, char** argv) {
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kPrefix, kOptions, 1, kUsage}, args); exit >= 0) return exit;
  std::string error;
  CardTarget target;
  if (!resolveTarget(args.positional.empty() ? nullptr : &args.positional[0], args, target, error)) {
    std::cerr << kPrefix << error << "\n";
    return kExitUsage;
  }
  std::string failure;
  const std::uint32_t status = DecryptSecureContainer(target.drive, target.identityOrNull(), systemPaths(), &failure);
  if (status != 0) {
    if (!failure.empty())
      std::cerr << kPrefix << failure << "\n";
    else
      std::cerr << "quillon-card decrypt: the card on " << target.drive
                << " could not be written out: " << statusMessage(status) << "\n";
    return kExitFailure;
  }
  std::cout << "Wrote " << kDecryptedPayloadFile << " and " << kDecryptedXmlFile << ".\n";
  return kExitOk;
}

}  // namespace quillon::cli
