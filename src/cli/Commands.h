// The sub-commands of quillon-card. Each takes argv from its own name on and
// returns the process exit code.
#pragma once

namespace quillon::cli {

// Exit codes beside those of the APDU shell.
inline constexpr int kExitDeclined = 3;  // stopped at a warning

int initCommand(int argc, char** argv);
int clearCommand(int argc, char** argv);
int decryptCommand(int argc, char** argv);
int listCommand(int argc, char** argv);
int apduCommand(int argc, char** argv);

}  // namespace quillon::cli
