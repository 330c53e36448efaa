// What the commands on an existing card share: their options for choosing the card
// (CardSource), the text of --help about it and about the exit statuses, which
// are cardops::Outcome's numbers, and reporting an outcome.
#pragma once

#include <initializer_list>
#include <set>
#include <string>
#include <utility>

#include "cardops/CardOperations.h"
#include "cardops/ReaderCard.h"
#include "cli/Arguments.h"
#include "cli/CardSource.h"

namespace quillon::cli {

extern const char* const kCardChoiceHelp;
extern const char* const kCardExitStatuses;

// Parses a card command's arguments: the card options and `values`/`flags`
// besides, with at most `positional` positional words, and --help. -1 to go on,
// or the exit status after the usage text (or the help) has been printed.
int parseCardCommand(int argc, char** argv, const char* prefix, const char* usage, std::set<std::string> values,
                     std::set<std::string> flags, std::size_t positional, Arguments& args);

// kDone when the reader is there and has a card; otherwise what to report.
cardops::Result readerHasCard(const cardops::ReaderStatus& status);

// Chooses the card and, for the reader's, checks that it has one, so that no
// secret is asked for in vain. kDone, or what to report.
cardops::Result findCard(const Arguments& args, CardSource& source);

// Writes a result that is not kDone on standard error after `prefix`; its exit status.
int report(const char* prefix, const cardops::Result& result);

// "give --pin-file or --pin-fd, not both" for each pair given twice; false after the message.
bool oneSourceEach(const Arguments& args, const char* prefix,
                   std::initializer_list<std::pair<const char*, const char*>> pairs);

}  // namespace quillon::cli
