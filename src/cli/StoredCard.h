// A card stored on a drive, as an APDU shell uses it: each command runs under
// the drive's lock on the container as it is at that moment. A container that
// another program changed since this session last loaded or saved it is loaded
// afresh first, which resets the card (selection and verified PINs are lost).
// The lock is held for one command only, so that an open shell does not keep
// the reader or another shell from the card.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>

#include "cli/ApduShell.h"
#include "container/DriveLock.h"
#include "container/FilePersist.h"
#include "jc/JCRuntimeImpl.h"
#include "reader/ContainerVersion.h"

namespace quillon::cli {

// One load of a container: the runtime uses the persist, so it goes first.
struct LoadedCard {
  std::unique_ptr<FilePersist> persist;
  std::unique_ptr<JCRuntimeImpl> runtime;
};

class StoredCard final : public ShellCard {
 public:
  // Loads the container as it is now; nullopt after a message on `err` when it
  // holds no card this session can use.
  using Loader = std::function<std::optional<LoadedCard>(std::ostream& err)>;

  StoredCard(std::string drive, Loader load) : drive_(std::move(drive)), load_(std::move(load)) {}

  // Loads the card once, under the lock: false after a message when it cannot be used.
  bool open(std::ostream& err);

  IJCRuntime* begin(std::ostream& err) override;
  bool end(std::ostream& err) override;

 private:
  bool lock(std::ostream& err);

  std::string drive_;
  Loader load_;
  std::optional<LoadedCard> card_;
  // The container this session last loaded or wrote; another one is another
  // program's work.
  std::optional<reader::ContainerVersion> version_;
  std::optional<container::DriveLock> lock_;
};

}  // namespace quillon::cli
