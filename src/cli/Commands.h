// The sub-commands of quillon-card. Each takes argv from its own name on and
// returns the process exit code.
#pragma once

#include <cstdint>

#include "base/Status.h"

namespace quillon::cli {

// What a writer says when another program held the drive past the wait.
inline constexpr const char* kCardInUse = "the card is in use by another program";
// Whether `status`, a Win32 error or its HRESULT, is that wait running out.
inline bool cardInUse(std::uint32_t status) {
  return status == status::ERROR_SHARING_VIOLATION ||
         status == status::hresultFromWin32(status::ERROR_SHARING_VIOLATION);
}

int initCommand(int argc, char** argv);
int clearCommand(int argc, char** argv);
int decryptCommand(int argc, char** argv);
int listCommand(int argc, char** argv);
int apduCommand(int argc, char** argv);
int ejectCommand(int argc, char** argv);
int insertCommand(int argc, char** argv);
int infoCommand(int argc, char** argv);
int changePinCommand(int argc, char** argv);
int unblockPinCommand(int argc, char** argv);
int changeAdminKeyCommand(int argc, char** argv);

}  // namespace quillon::cli
