// quillon-card info: the reader, its card and the card's state.
#include <iostream>

#include "cardops/ReaderCard.h"
#include "cardops/StoredCard.h"
#include "cli/CardCommand.h"
#include "cli/CardInfoOutput.h"
#include "cli/CardTarget.h"
#include "cli/Commands.h"
#include "cli/ExitCodes.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

namespace {

constexpr const char* kPrefix = "quillon-card info: ";

constexpr Option kOptions[] = {kDriveOption,
                               kDirOption,
                               kIdentityOption,
                               {"json", nullptr,
                                "one JSON object with the keys reader (the reader's\n"
                                "name, null when it is not there or the card is a\n"
                                "stored one), cardPresent, serial, pinTriesLeft,\n"
                                "pinBlocked, initialisationPhase, containers (name,\n"
                                "valid, default, signatureBits, keyExchangeBits) and\n"
                                "certificates (file, subject, issuer, notBefore,\n"
                                "notAfter, keyBits); the card's keys are null when it\n"
                                "was not read. Written whenever the card was chosen.",
                                1}};

constexpr const char* kHead =
    "Usage: quillon-card info [--json] [--drive DRIVE | --dir DIR --identity V:P:R:S]\n"
    "\n"
    "Shows whether the virtual reader is there and has a card, and the card's\n"
    "serial number, PIN tries left (or that the PIN is blocked), whether it is\n"
    "still in its initialisation phase, its key containers and its certificates.\n"
    "\n";

}  // namespace

int infoCommand(int argc, char** argv) {
  const std::string usage = cardUsage(kHead, true, "", kOptions);
  Arguments args;
  if (const int exit = parseCommand(argc, argv, {kPrefix, kOptions, 0, usage}, args); exit >= 0) return exit;
  const bool json = args.has("json");
  CardSource source;
  cardops::Result result = chooseCard(args, systemPaths(), source);
  if (result.outcome != cardops::Outcome::kDone) return report(kPrefix, result);

  InfoReport info;
  cardops::CardInfo card;
  if (source.reader) {
    const cardops::ReaderStatus status = cardops::readReaderStatus();
    info.reader = status.readerName;
    info.cardPresent = status.cardPresent;
    result = readerHasCard(status);
    if (result.outcome == cardops::Outcome::kDone)
      result =
          cardops::withReaderCard([&](cardops::CardChannel& channel) { return cardops::readCardInfo(channel, card); });
  } else {
    result = cardops::withStoredCard(source.drive, source.identity, [&](cardops::CardChannel& channel) {
      return cardops::readCardInfo(channel, card);
    });
    info.cardPresent = result.outcome != cardops::Outcome::kNoCard;
  }
  if (result.outcome == cardops::Outcome::kDone) info.card = &card;
  if (json)
    writeInfoJson(std::cout, info);
  else if (result.outcome == cardops::Outcome::kDone || result.outcome == cardops::Outcome::kNoCard)
    writeInfoText(std::cout, info);
  return report(kPrefix, result);
}

}  // namespace quillon::cli
