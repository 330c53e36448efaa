// The card's persistence provider: writes a runtime's applet state as the secure
// container file (XML state document, MSZIP, AES-256-GCM under the device key)
// and rebuilds an applet from such a file. The owner keeps the FilePersist alive
// as long as any runtime it serves; createRuntime's runtime belongs to the caller.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/OpenSsl.h"
#include "container/ContainerFile.h"
#include "jc/IAppletInstaller.h"
#include "jc/IJCRuntime.h"
#include "platform/DeviceIdentity.h"
#include "runtime/JCRuntimeImpl.h"
#include "runtime/StateLimits.h"

namespace quillon {

namespace container {
class MszipDecoder;
class MszipEncoder;
}  // namespace container

class FilePersist final : public IJCRuntimeSerializable {
 public:
  static constexpr const char* kContainerName = container::kContainerName;
  static constexpr std::uint64_t kMaxContainerBytes = limits::kMaxContainerBytes;
  // NTE_NO_KEY: the device key could not be derived, so nothing is encrypted or
  // decrypted with it.
  static constexpr std::uint32_t kNoDeviceKey = 0x8009000D;
  // ERROR_INVALID_DATA as an HRESULT: save refuses to replace a container that
  // exists but could not be loaded.
  static constexpr std::uint32_t kUnreadableContainer = 0x8007000D;
  // ERROR_INVALID_DATA as well: a state document that the card refused.
  static constexpr std::uint32_t kDamagedState = 0x8007000D;

  // The container of a USB drive: `drive` is the directory the volume is mounted
  // on, `identity` the device's, which the key is derived from.
  FilePersist(const platform::DeviceIdentity& identity, const std::string& drive);
  // An unencrypted writer of the compressed payload to `path` (the decryption
  // tool's plain copy).
  static FilePersist plain(const std::string& path);

  ~FilePersist();
  // Moving leaves `other` without a key; never move one that a runtime uses.
  FilePersist(FilePersist&& other) noexcept;
  FilePersist& operator=(FilePersist&&) = delete;
  FilePersist(const FilePersist&) = delete;
  FilePersist& operator=(const FilePersist&) = delete;

  // Writes the applet's state if it changed since the last write or load (it
  // serialises and hashes whatever the runtime's change notes say; the runtime's
  // persist() calls it only for a noted change). Afterwards the runtime knows
  // its state as stored.
  // Returns an HRESULT (0 when written or unchanged). The caller holds the
  // drive's DriveLock, from before it checks that its state is the stored one
  // until after this write: only the caller knows where its command begins.
  std::uint32_t save(IJCRuntime& runtime) override;

  // Reads the container open on `fd` into the runtime, installing the applet
  // with `installer`. An HRESULT; nothing is thrown: a document whose values the
  // card refuses, or whose restoration throws, gives kDamagedState. Any failure
  // leaves this object refusing to save, with loadFailure() saying why.
  std::uint32_t loadInto(IJCRuntime& runtime, IAppletInstaller& installer, int fd);

  // A runtime whose persistence provider is this object, holding the stored card
  // when the container exists and is not empty. A failed load still gives the
  // runtime (with whatever the load left) but makes this object refuse to save.
  std::unique_ptr<JCRuntimeImpl> createRuntime(IAppletInstaller& installer);

  // The applet's state document, or nullopt (traced) when there is no applet or
  // the document cannot be written.
  static std::optional<ossl::SecureBytes> snapshotHeap(IJCRuntime& runtime);
  // Replaces the runtime's applet by a freshly installed one that reads `xml`.
  // An HRESULT; a SerializationException of the document passes on. When the
  // document fails or throws, `fault` (if given) receives why, in words.
  static std::uint32_t restoreHeap(std::span<const std::uint8_t> xml, IJCRuntime& runtime, IAppletInstaller& installer,
                                   std::string* fault = nullptr);

  const std::string& path() const noexcept { return path_; }
  bool encrypted() const noexcept { return encrypted_; }
  // False when the device key could not be derived: save and loadInto then refuse.
  bool hasKey() const noexcept { return keyValid_; }
  // True once a container that exists could not be read, decrypted, decompressed
  // or restored: this object never writes over it. Only a new FilePersist that
  // has not tried to load it (a new initialisation) does.
  bool refusesSaving() const noexcept { return unreadable_; }
  // Why the container could not be loaded, as a clause about it for a person
  // ("permission to read it was denied", "its state is damaged: element ...
  // holds 12, past its limit 3"), and the HRESULT of that failure; empty and 0
  // while nothing failed.
  const std::string& loadFailure() const noexcept { return loadFailure_; }
  std::uint32_t loadStatus() const noexcept { return loadStatus_; }

 private:
  FilePersist(std::string path, bool encrypted);

  std::uint32_t load(IJCRuntime& runtime, IAppletInstaller& installer, int fd);
  // The card's zlib streams, made on first use and wiped after each (a fresh
  // stream per save costs 300 KB of new pages and makes every save's time differ).
  container::MszipEncoder& encoder();
  container::MszipDecoder& decoder();
  // Keeps why the load failed (the first reason only) and returns `hr`.
  std::uint32_t refuseLoad(std::uint32_t hr, const std::string& why) noexcept;

  std::string path_;
  std::array<std::uint8_t, 32> key_{};
  bool encrypted_;
  bool keyValid_ = false;
  bool unreadable_ = false;
  std::array<std::uint8_t, 32> lastHash_{};
  std::string loadFailure_;
  std::uint32_t loadStatus_ = 0;
  std::unique_ptr<container::MszipEncoder> encoder_;
  std::unique_ptr<container::MszipDecoder> decoder_;
};

}  // namespace quillon
