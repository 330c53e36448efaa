// The APDU shell of quillon-card: command APDUs as hexadecimal text, one per line,
// sent to a card runtime in order; one answer line per command, written and
// flushed at once so that a program can drive the shell command by command.
#pragma once

#include <ostream>

#include "cardops/CardChannel.h"
#include "cli/ExitCodes.h"
#include "jc/IJCRuntime.h"

namespace quillon::cli {

// The card a shell sends its commands to, one at a time: a stored card is
// locked, brought up to date and saved around each command.
class ShellCard {
 public:
  // The runtime for the next command; null, after a message on `err`, when the
  // card cannot be had.
  virtual IJCRuntime* begin(std::ostream& err) = 0;
  // The command has run (or was refused before it ran): false, after a message
  // on `err`, when its outcome could not be kept; its answer is then withheld.
  virtual bool end(std::ostream& err) = 0;

 protected:
  ~ShellCard() = default;
};

// Reads commands until the end of the descriptor `in`, a line at a time with
// read(2) into wiped storage (commands carry PINs and keys, which no stream
// buffer may keep). Blanks may stand between digits, '#' starts a comment,
// empty lines are skipped. Each answer line is the response data in upper-case
// hex, a blank when there is data, and the status word in four digits. Returns
// kExitOk when every line was sent; on a line that is not hexadecimal, or that
// cannot be read or the runtime cannot take, a message goes to `err` and
// kExitFailure is returned at once.
int runApduShell(ShellCard& card, int in, std::ostream& out, std::ostream& err);
// The same for a card reached through a channel (the virtual reader's), whose
// failures end the shell likewise.
int runApduShell(cardops::CardChannel& card, int in, std::ostream& out, std::ostream& err);
// The same for a card held in memory only.
int runApduShell(IJCRuntime& runtime, int in, std::ostream& out, std::ostream& err);

}  // namespace quillon::cli
