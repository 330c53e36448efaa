// APDU sessions kept as data files and run against a fresh in-memory card. A file
// holds one or more sessions; each begins with a line "== name" and runs on a card
// of its own. Its lines:
//   # a comment                     (blank lines too are ignored)
//   @personalise                    the personalisation script, every answer 9000
//   <command> -> <answer>           one exchange
//   <command> ->> <answer>          the same, with 61xx answers followed by GET RESPONSE
// A command is hex, blanks allowed, where "AA*97" stands for 97 bytes AA. An answer
// is the expected data, then the status word: data in the same hex, plus "?N" for
// N bytes of any value (a random challenge, a generated key) and "?" for any
// number of them.
#pragma once

#include <string>
#include <string_view>

#include "support/CardFixture.h"
#include "support/TestData.h"

namespace quillon::test {

// Hex with repeats ("AA*97"); blanks ignored. Fails the calling test on bad text.
Bytes expandHex(std::string_view text);

// Runs every session of tests/data/<relative>; a failure names the file and line.
void runApduSessions(const std::string& relative);
// Runs the exchanges of one session (by name) on `runtime`, which is left as the
// session leaves it.
void runApduSession(IJCRuntime& runtime, const std::string& relative, const std::string& name);

// Sends `data` after `header` (CLA INS P1 P2 in hex) in pieces of 255 bytes,
// chained with CLA 10, then `le`; the whole answer to the last piece, or the
// answer of the first piece that is not 9000.
Response sendChained(IJCRuntime& runtime, const std::string& header, const Bytes& data, const std::string& le = "00");

}  // namespace quillon::test
