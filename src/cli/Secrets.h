// Secrets (the PIN, the administrator key) for quillon-card: never taken from the
// command line, but read from a file, from a file descriptor, or typed at a
// terminal without echo. The result wipes itself.
#pragma once

#include <string>

#include "base/OpenSsl.h"

namespace quillon::cli {

// One line (without its line end) of the file, of the descriptor (read a byte at
// a time, so that several secrets can share one descriptor), or typed after
// `prompt` when standard input is a terminal. False with a message in `error`.
bool readSecret(const std::string* file, const std::string* fd, const char* prompt, ossl::SecureBytes& secret,
                std::string& error);

// A new secret: as readSecret, but typed twice at a terminal (after `prompt`, then
// after "Again: "); two entries that differ are refused.
bool readNewSecret(const std::string* file, const std::string* fd, const char* prompt, ossl::SecureBytes& secret,
                   std::string& error);

bool stdinIsTerminal();

enum class LineRead { kLine, kEnd, kError };

// One line of `fd` without its line end (nor a CR before it), read a byte at a
// time with read(2) straight into wiped storage, so that no stdio or stream
// buffer keeps what it carried and nothing beyond the line is consumed. kEnd
// when the input ended before any byte; kError with a message in `error` on a
// read error or a line longer than `maxLength`.
LineRead readSecretLine(int fd, ossl::SecureBytes& line, std::size_t maxLength, std::string& error);

}  // namespace quillon::cli
