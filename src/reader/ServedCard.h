// The card while it is powered: a fresh runtime holding the GIDS applet loaded
// from the container of one mounted volume, with that container's FilePersist
// as its persistence provider. Destroying it is powering the card down; nothing
// transient survives. Owned by the VirtualReader; used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "container/FilePersist.h"
#include "gids/GidsAppletInstaller.h"
#include "platform/SystemPaths.h"
#include "reader/ContainerVersion.h"
#include "runtime/JCRuntimeImpl.h"

namespace quillon::reader {

class ServedCard {
 public:
  // The longest answer: 256 data bytes and the status word.
  static constexpr std::size_t kMaxResponse = 258;

  // Loads the card of the volume mounted at `mountPoint`, with the device key of
  // the volume's USB identity. Null, with `reason` set, when the container cannot
  // be served: no device identity, a write-protected medium (a PIN retry counter
  // that cannot be stored would never run out), no device key, no container, or
  // one that does not load (another stick's, damaged, without an applet). A
  // container that failed is never written.
  static std::unique_ptr<ServedCard> load(const platform::SystemPaths& paths, const std::string& mountPoint,
                                          std::string& reason);

  ~ServedCard();
  ServedCard(const ServedCard&) = delete;
  ServedCard& operator=(const ServedCard&) = delete;

  enum class Outcome {
    kAnswered,    // `response` holds the answer
    kSaveFailed,  // the applet's state could not be stored: the answer must not leave
    kFailed,      // the runtime gave no answer
  };

  // One command APDU. The answer (data and status word) goes to `response`,
  // which must hold kMaxResponse bytes; `length` receives its size.
  Outcome transmit(std::span<const std::uint8_t> command, std::span<std::uint8_t> response, std::size_t& length);

  // Whether the last transmit stored the applet's state (the container's version
  // may have changed).
  bool saved() const noexcept { return watch_.saves != savesBefore_; }
  std::uint32_t lastSaveError() const noexcept { return watch_.lastError; }

  const ContainerVersion& loadedVersion() const noexcept { return version_; }
  const std::string& mountPoint() const noexcept { return version_.mountPoint; }

 private:
  // Counts the runtime's saves and keeps their failures, which the runtime drops.
  struct SaveWatch final : IJCRuntimeSerializable {
    explicit SaveWatch(FilePersist& target) : persist(target) {}
    std::uint32_t save(IJCRuntime& runtime) override;
    FilePersist& persist;
    std::uint64_t saves = 0;
    std::uint32_t lastError = 0;
    bool failed = false;
  };
  struct Key {
    explicit Key() = default;
  };

 public:
  ServedCard(Key, std::unique_ptr<FilePersist> persist, ContainerVersion version);

 private:
  // Declared so that the runtime goes first, then the watch, then the persist.
  std::unique_ptr<FilePersist> persist_;
  SaveWatch watch_;
  GidsAppletInstaller installer_;
  std::unique_ptr<JCRuntimeImpl> runtime_;
  ContainerVersion version_;
  std::uint64_t savesBefore_ = 0;
};

}  // namespace quillon::reader
