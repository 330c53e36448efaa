// Which card a card command works on: the one the virtual reader serves (the
// default), or one stored on a drive (--drive DRIVE, or --dir DIR --identity ...)
// and used in this process. A --drive naming the volume the reader serves means
// the reader's card, so that nothing writes a container behind the reader's back;
// a --dir never does.
#pragma once

#include <functional>
#include <string>

#include "cardops/CardOperations.h"
#include "cli/Arguments.h"
#include "personalise/CreateSecureContainer.h"
#include "personalise/PcscApi.h"
#include "platform/SystemPaths.h"

namespace quillon::cli {

struct CardSource {
  bool reader = true;  // the card the virtual reader serves
  std::string drive;   // otherwise the stored card's drive and identity
  DeviceIdentity identity;
};

// From --drive, --dir and --identity in `args`. kDone, kInvalidInput for a usage
// error or a drive without a usable device, kFailed when the reader serves a card
// but cannot say which volume's; the message says why.
cardops::Result chooseCard(const Arguments& args, const platform::SystemPaths& paths, CardSource& source,
                           const PcscApi& pcsc = systemPcsc());

// `work` over the source's card: through the reader in one transaction ending
// with a reset, or on the stored card under its drive's lock.
cardops::Result runOnCard(const CardSource& source, const std::function<cardops::Result(cardops::CardChannel&)>& work,
                          const PcscApi& pcsc = systemPcsc());

}  // namespace quillon::cli
