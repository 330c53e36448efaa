#include "cli/CardSource.h"

#include "cardops/ReaderCard.h"
#include "cardops/StoredCard.h"
#include "cli/CardTarget.h"
#include "personalise/CardWriter.h"
#include "personalise/DevicePath.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

using cardops::Outcome;
using cardops::Result;

cardops::Result chooseCard(const Arguments& args, const platform::SystemPaths& paths, CardSource& source,
                           const PcscApi& pcsc) {
  source = {};
  const std::string* drive = args.value("drive");
  if (drive == nullptr && args.value("dir") == nullptr) {
    if (args.value("identity") != nullptr) return {Outcome::kInvalidInput, "--identity is only for --dir", -1};
    return {};
  }
  CardTarget target;
  std::string error;
  if (!resolveTarget(drive, args, target, error)) return {Outcome::kInvalidInput, error, -1};
  source.reader = false;
  source.drive = target.drive;
  if (target.identity) {
    source.identity = *target.identity;
    return {};
  }
  // A volume the reader could serve: is it the one it serves?
  std::string devicePath;
  if (BuildPnpPathFromDriveLetter(target.drive, devicePath, paths) == 0) {
    const cardops::ReaderStatus status = cardops::readReaderStatus(pcsc);
    if (!status.volume.empty() && status.volume == devicePath) {
      source.reader = true;
      return {};
    }
    if (status.error != 0 && status.readerFound && status.cardPresent)
      return {Outcome::kFailed,
              "the virtual reader serves a card but cannot say which stick's (" + statusMessage(status.error) +
                  "); eject it first (quillon-card eject) to use the card on " + target.drive + " directly",
              -1};
  }
  if (const std::uint32_t status = resolveIdentity(target.drive, nullptr, paths, source.identity))
    return {Outcome::kInvalidInput, target.drive + " is not a usable removable drive: " + statusMessage(status), -1};
  return {};
}

cardops::Result runOnCard(const CardSource& source, const std::function<cardops::Result(cardops::CardChannel&)>& work,
                          const PcscApi& pcsc) {
  if (source.reader) return cardops::withReaderCard(work, pcsc);
  return cardops::withStoredCard(source.drive, source.identity, work);
}

}  // namespace quillon::cli
