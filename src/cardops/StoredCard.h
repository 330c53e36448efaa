// A card stored on a drive and used in this process, without the virtual reader:
// the container loaded into a runtime, each command run under the drive's lock on
// the container as it is at that moment and saved as the card asks. A container
// that another program changed since this session last loaded or saved it is
// loaded afresh first, which resets the card (selection and verified PINs are
// lost). The APDU shell holds the lock for one command at a time; an operation
// (withStoredCard) holds it throughout.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "cardops/CardOperations.h"
#include "container/DriveLock.h"
#include "container/FilePersist.h"
#include "personalise/CreateSecureContainer.h"
#include "reader/ContainerVersion.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon::cardops {

// One load of a container: the runtime uses the persist, so it goes first.
struct LoadedCard {
  std::unique_ptr<FilePersist> persist;
  std::unique_ptr<JCRuntimeImpl> runtime;
};

// Why a stored card could not be had.
enum class LoadFailure { kNone, kNoKey, kUnreadable, kNoCard };

// The container of `drive`, sealed under `identity`, with the applet installed by
// `installer` (which must outlive the card). Nullopt with a sentence in `error`
// ("there is no card in ...") and the reason in `why` when it holds no card this
// process can use; a container that does not load is left untouched.
std::optional<LoadedCard> loadStoredCard(const std::string& drive, const DeviceIdentity& identity,
                                         IAppletInstaller& installer, std::string& error, LoadFailure* why = nullptr);

class StoredCard {
 public:
  // Loads the container as it is now; nullopt with a sentence in `error` when it
  // holds no card this session can use.
  using Loader = std::function<std::optional<LoadedCard>(std::string& error)>;

  StoredCard(std::string drive, Loader load) : drive_(std::move(drive)), load_(std::move(load)) {}

  // Loads the card once, under the lock: false with a sentence when it cannot be used.
  bool open(std::string& error);

  // Locks the drive and gives the runtime for the next command (null with a
  // sentence when the card cannot be had); end() saves what the command changed
  // and unlocks: false with a sentence when it could not be kept.
  IJCRuntime* begin(std::string& error);
  bool end(std::string& error);

 private:
  bool lock(std::string& error);

  std::string drive_;
  Loader load_;
  std::optional<LoadedCard> card_;
  // The container this session last loaded or wrote; another one is another
  // program's work.
  std::optional<reader::ContainerVersion> version_;
  std::optional<container::DriveLock> lock_;
};

// Runs `work` over the card stored on `drive` (a directory) under `identity`,
// holding the drive's lock throughout; every command's changes are saved before
// its answer is given. kNoCard when the drive holds no card, kFailed when it is
// in use past the wait, cannot be opened, or a change cannot be saved.
Result withStoredCard(const std::string& drive, const DeviceIdentity& identity,
                      const std::function<Result(CardChannel&)>& work);

}  // namespace quillon::cardops
