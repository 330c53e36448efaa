#include "cli/CardTarget.h"

namespace quillon::cli {

bool resolveTarget(const std::string* drive, const Arguments& args, CardTarget& target, std::string& error) {
  const std::string* dir = args.value("dir");
  const std::string* identity = args.value("identity");
  if ((drive != nullptr) == (dir != nullptr)) {
    error = drive != nullptr ? "give a drive or --dir, not both" : "no drive given (a mount point, or --dir DIR)";
    return false;
  }
  if (dir != nullptr) {
    if (identity == nullptr) {
      error = "--dir needs --identity VENDOR:PRODUCT:REVISION:SERIAL";
      return false;
    }
    DeviceIdentity parsed;
    std::string reason;
    if (!parseIdentity(*identity, parsed, &reason)) {
      error = "--identity: " + reason;
      return false;
    }
    target.drive = *dir;
    target.identity = parsed;
  } else if (identity != nullptr) {
    error = "--identity is only for --dir; a drive's identity is read from its device";
    return false;
  } else {
    target.drive = *drive;
  }
  while (target.drive.size() > 1 && target.drive.back() == '/') target.drive.pop_back();
  return true;
}

platform::SystemPaths systemPaths() { return platform::SystemPaths::fromEnvironment(); }

}  // namespace quillon::cli
