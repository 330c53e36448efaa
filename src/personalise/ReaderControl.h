// The virtual reader around card creation: Format ejects the reader's card, has
// the container created and hands the volume to the reader (SWALLOW); Clear
// ejects the card and deletes the container. Both talk PC/SC through a PcscApi
// and return plain values.
#pragma once

#include <cstdint>
#include <string>

#include "personalise/CreateSecureContainer.h"
#include "personalise/PcscApi.h"
#include "platform/SystemPaths.h"

namespace quillon {

// The step at which a reader operation stopped.
enum class ReaderStep {
  kNone,              // it did not stop
  kDrive,             // no drive given
  kEstablishContext,  // PC/SC context
  kListReaders,
  kFindReader,  // no reader named "Brindleworth..."
  kConnect,
  kEject,       // nothing was written
  kCreate,      // the card creation failed; the reader has no card
  kDevicePath,  // the container is written, the reader has no card
  kSwallow,     // the container is written but not served
  kDelete,      // the container could not be deleted
};

// Creates the card on `drive` between EJECT and SWALLOW. Returns 0, the PC/SC
// status of the step that failed, the result of CreateSecureContainer or that
// of BuildPnpPathFromDriveLetter; `failedStep`, when given, tells which.
std::uint32_t Format(const char* pin, const std::uint8_t adminKey[24], const char* serial, const std::string& drive,
                     const DeviceIdentity* identity = nullptr,
                     const platform::SystemPaths& paths = platform::SystemPaths(), const Progress& progress = nullptr,
                     ReaderStep* failedStep = nullptr, const PcscApi& pcsc = systemPcsc());

// The same around CreateBlankContainer: the reader serves a card that is still
// in its initialisation phase.
std::uint32_t FormatBlank(const std::string& drive, const DeviceIdentity* identity = nullptr,
                          const platform::SystemPaths& paths = platform::SystemPaths(),
                          const Progress& progress = nullptr, ReaderStep* failedStep = nullptr,
                          const PcscApi& pcsc = systemPcsc());

struct ClearResult {
  std::uint32_t status = 0;  // 0 also when there was no container to delete
  ReaderStep failedStep = ReaderStep::kNone;
  bool deleted = false;  // a container was deleted
  std::string message;   // what the user is to be shown; empty for nothing
};

// Ejects the virtual reader's card and deletes "<drive>/Quillon2.bin". Nothing
// is deleted unless the reader ejected its card.
ClearResult Clear(const std::string& drive, const PcscApi& pcsc = systemPcsc());

// A sentence for the user about a reader operation that stopped at `step` with
// `status`, or null when the status says it all (kNone, kCreate).
const char* readerFailureMessage(ReaderStep step, std::uint32_t status) noexcept;

}  // namespace quillon
