// The virtual reader's one slot, as the pcsc-lite entry points (IfdHandler.cpp)
// drive it: EJECT and SWALLOW, presence that follows the world, the powered card,
// and the wait that tells pcscd of changes. Owns the card it serves; every
// operation takes its one mutex, which the wait never holds while it sleeps.
#pragma once

extern "C" {
#include <ifdhandler.h>
}

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/SystemPaths.h"
#include "reader/ChangeSignal.h"
#include "reader/ContainerVersion.h"
#include "reader/MountWatch.h"
#include "reader/ReaderConfig.h"
#include "reader/ServedCard.h"
#include "reader/StateFile.h"
#include "reader/VolumeIdentity.h"

namespace quillon::reader {

// Which volume's card is served (set by SWALLOW, cleared by EJECT, remembered
// across pcscd restarts) and whether that card is present: volume mounted,
// container there and loadable, unchanged behind the powered card's back. A
// stick pulled and plugged in again comes back under another device path; the
// volume is then found again by its identity, when that names one volume only.
//
// Like a card reader, it also takes a card that is plugged in: while no card is
// served and the remembered volume is not mounted, a volume newly mounted (a
// mount ID not seen before; at channel open every mounted volume, as pcscd,
// which exits when idle, is often started by the client that wants the card)
// that SWALLOW would accept and whose container opens with its stick's identity
// is taken up as if swallowed, when it is the only such one. A stick ejected
// while mounted stays out until it is mounted anew; a container written to a
// volume already mounted (card creation, between EJECT and SWALLOW) never
// counts; the remembered stick showing up under another device path is left to
// the re-plug search.
class VirtualReader {
 public:
  static constexpr DWORD kEject = 0x00310018;              // IOCTL_SMARTCARD_EJECT
  static constexpr DWORD kSwallow = 0x0031001C;            // IOCTL_SMARTCARD_SWALLOW
  static constexpr DWORD kGetFeatureRequest = 0x42000D48;  // pcsc-lite's SCARD_CTL_CODE(3400)
  // Ours, the first vendor code (SCARD_CTL_CODE(2048)), no input: the device
  // path of the volume served, as volume() gives it, in SWALLOW's form (UTF-16LE
  // with its NUL); no bytes when none is served. How a client learns which
  // stick the card it sees lives on.
  static constexpr DWORD kGetVolume = 0x00312000;
  // How often the wait looks at the world when nothing wakes it: the container
  // file gives no signal of its own, and a fixture mount table none either.
  static constexpr std::chrono::milliseconds kWatchInterval{250};

  // Takes up the remembered volume again when it is mounted and acceptable, or
  // when it was plugged in again elsewhere and its identity finds it; failing
  // that, the card of a mounted volume as if it had just been plugged in. Throws
  // std::system_error when the wake-up descriptor cannot be had.
  explicit VirtualReader(const ReaderConfig& config);
  ~VirtualReader();
  VirtualReader(const VirtualReader&) = delete;
  VirtualReader& operator=(const VirtualReader&) = delete;

  // IFDHControl: EJECT (no input), SWALLOW, GET VOLUME (no input), the feature
  // request (an empty list); IFD_ERROR_NOT_SUPPORTED for any other code. The
  // answer goes to `output` and its size to `returned` (0 when there is none);
  // IFD_ERROR_INSUFFICIENT_BUFFER, nothing written, when it does not fit.
  RESPONSECODE control(DWORD code, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                       std::size_t& returned);
  // The same for the requests that answer nothing.
  RESPONSECODE control(DWORD code, std::span<const std::uint8_t> input) {
    std::size_t returned = 0;
    return control(code, input, {}, returned);
  }

  // Drops the card and forgets the volume, in memory and in the state file; the
  // container is not touched again. The card is reported absent at least once.
  // The volume's mounts are remembered as ejected, so that no new channel takes
  // the card up before the stick is mounted anew. False when the state file
  // could not be updated (the card is dropped anyway).
  bool eject();
  // Takes up the volume whose device path `input` carries (UTF-16LE with its
  // NUL): it must resolve inside the sysfs root to a block device mounted now as
  // a whole volume on a removable disk. Remembered in the state file with the
  // volume's identity; false, with nothing changed, when anything fails.
  bool swallow(std::span<const std::uint8_t> input);

  // IFDHICCPresence: whether the card is there; an absence reported here settles
  // the one owed after EJECT or a change of card.
  bool present();
  // Every power-up is a reset: a fresh runtime loaded from the container. The ATR
  // goes to `atr` (kCardAtr.size() bytes at least). IFD_ICC_NOT_PRESENT without
  // a card, IFD_ERROR_POWER_ACTION (and absent from then on) for a container
  // that cannot be served.
  RESPONSECODE powerUp(std::span<std::uint8_t> atr, std::size_t& atrLength);
  void powerDown();
  bool powered() const;

  // One APDU to the powered card. IFD_ICC_NOT_PRESENT when there is none or its
  // container changed; IFD_COMMUNICATION_ERROR when the card's new state could
  // not be stored (the card is then reset and its answer withheld), or when
  // another writer kept the drive locked for a second (the command is not sent).
  RESPONSECODE transmit(std::span<const std::uint8_t> command, std::span<std::uint8_t> response, std::size_t& length);

  // The polling thread's wait: returns when what present() would answer differs
  // from its last answer, when stopWaiting() is called, or after `timeout`.
  void waitForChange(std::chrono::milliseconds timeout);
  // Ends the wait under way, or the next one when none is. One wait only: pcscd
  // asks for this at every disconnect, to wait again with another timeout (the
  // power-off grace period), as well as when it stops the reader.
  void stopWaiting();

  // The device path of the volume served; empty when there is none. It changes
  // when the volume is found again after a re-plug, or a plugged-in card is taken.
  std::string volume() const;

 private:
  // A volume that passed SWALLOW's checks.
  struct Volume {
    std::string devicePath;  // canonical
    std::string mountPoint;
  };
  enum class Search { kFound, kNotFound, kAmbiguous };

  bool evaluate(VolumeView* seen);
  void dropCard();
  bool acceptableVolume(const std::string& path, Volume& volume, std::string& reason) const;
  // The identity to remember for `volume`; none when it cannot be read.
  std::optional<VolumeIdentity> identityOf(const Volume& volume) const;
  // The one acceptable volume mounted now with `identity`, which must hold a
  // serial number; several such volumes are ambiguous and none is taken.
  Search findReplugged(const VolumeIdentity& identity, Volume& volume, std::string& reason) const;
  // With the mutex held, once volume_'s device is gone: moves to the volume
  // findReplugged gives for identity_, as a new card, and remembers its path.
  bool followReplugged();
  void takeUpRemembered(const RememberedVolume& remembered);
  // With the mutex held, at every look at the world: notes the mounts new since
  // the last look and, unless `rememberedMounted`, takes up the one new volume
  // that carries a card of its own stick. True when it took one up.
  bool watchMounts(bool rememberedMounted);
  // Whether the newly mounted `mount` carries a card to take up; `volume` and
  // `identity` are then set. Never throws: the container is anybody's.
  bool pluggedCard(const VolumeMount& mount, Volume& volume, std::optional<VolumeIdentity>& identity) const noexcept;
  // Drops the ejected mounts that are gone from `mounts`; true when any went.
  bool pruneEjected(const std::vector<VolumeMount>& mounts);
  // The state file as memory has it: volume_, identity_ and ejected_.
  int rememberState() const;

  const platform::SystemPaths paths_;
  const StateFile state_;
  ChangeSignal signal_;

  mutable std::mutex mutex_;
  std::string volume_;
  std::optional<VolumeIdentity> identity_;  // of volume_, when it could be read
  // The state file's volume when the channel opened without it mounted: not
  // served, yet still remembered, and its stick is still left to the re-plug
  // search rather than taken when plugged in elsewhere.
  RememberedVolume awaited_;
  std::vector<EjectedMount> ejected_;  // in the state file too
  MountWatch mounts_;
  bool ambiguityReported_ = false;  // that identity_ names several volumes, logged once
  std::unique_ptr<ServedCard> card_;
  // The container version the card was last served from or saved to, and the
  // one that failed to load; a different version is a different card.
  std::optional<ContainerVersion> served_;
  std::optional<ContainerVersion> failed_;
  bool pendingAbsent_ = false;  // an absence is owed to pcscd
  bool reported_ = false;       // present()'s last answer
  bool stopRequested_ = false;  // consumed by the wait it ends
};

}  // namespace quillon::reader
