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

bool stdinIsTerminal();

}  // namespace quillon::cli
