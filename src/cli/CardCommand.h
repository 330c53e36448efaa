// What the commands on an existing card share: their options for choosing the card
// (CardSource), their usage text with the text about that choice and about the exit
// statuses, which are cardops::Outcome's numbers, and reporting an outcome.
#pragma once

#include <string>

#include "cardops/CardOperations.h"
#include "cardops/ReaderCard.h"
#include "cli/Arguments.h"
#include "cli/CardSource.h"

namespace quillon::cli {

// The options that choose the card, for the commands' tables (the usage text
// tells of them in prose).
inline constexpr Option kDriveOption{"drive", "DRIVE"}, kDirOption{"dir", "DIR"},
    kIdentityOption{"identity", "VENDOR:PRODUCT:REVISION:SERIAL"};

// A card command's usage text: `head` (the usage lines and what the command
// does), then the text on choosing the card when `choice`, `note`, the option
// lists of `options` in their order, and the exit statuses.
std::string cardUsage(const char* head, bool choice, const char* note, Options options);

// kDone when the reader is there and has a card; otherwise what to report.
cardops::Result readerHasCard(const cardops::ReaderStatus& status);

// Chooses the card and, for the reader's, checks that it has one, so that no
// secret is asked for in vain. kDone, or what to report.
cardops::Result findCard(const Arguments& args, CardSource& source);

// Writes a result that is not kDone on standard error after `prefix`; its exit status.
int report(const char* prefix, const cardops::Result& result);

}  // namespace quillon::cli
