// quillon-card list: the drives a card can be created on.
#include <iostream>

#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "personalise/FormatCard.h"
#include "platform/DeviceDetails.h"
#include "platform/Drives.h"

namespace quillon::cli {

namespace {
constexpr const char* kUsage =
    "Usage: quillon-card list [--identity]\n"
    "\n"
    "Lists the mount points of the mounted volumes on removable disks, one per\n"
    "line, in a stable order: the drives a card can be created on. With\n"
    "--identity each line also shows the device's identity as\n"
    "VENDOR:PRODUCT:REVISION:SERIAL, after a tab.\n"
    "\n"
    "When there is none, standard output stays empty and a sentence on standard\n"
    "error says so.\n"
    "\n"
    "Exit status: 0 (also when there is no drive); 1 when the mount table cannot be\n"
    "read; 2 usage error.\n";
constexpr const char* kPrefix = "quillon-card list: ";
constexpr Option kOptions[] = {{"identity"}};
}  // namespace

int listCommand(int argc, char** argv) {
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kPrefix, kOptions, 0, kUsage}, args); exit >= 0) return exit;
  const platform::SystemPaths paths = systemPaths();
  std::vector<std::string> drives;
  std::uint32_t status = 0;
  if (!platform::listCompatibleDrives(paths, drives, status)) {
    std::cerr << kPrefix << "the mounted volumes cannot be read: " << statusMessage(status) << "\n";
    return kExitFailure;
  }
  if (drives.empty()) std::cerr << kPrefix << "no removable drive is mounted\n";
  for (const std::string& drive : drives) {
    std::cout << drive;
    platform::DeviceDetails details;
    if (args.has("identity") && platform::GetDeviceDetails(paths, drive, details, status))
      std::cout << '\t' << details.vendor << ':' << details.product << ':' << details.revision << ':' << details.serial;
    std::cout << '\n';
  }
  return kExitOk;
}

}  // namespace quillon::cli
