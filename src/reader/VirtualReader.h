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

#include "reader/ChangeSignal.h"
#include "reader/ContainerVersion.h"
#include "reader/ReaderConfig.h"
#include "reader/ServedCard.h"
#include "reader/VolumeFollower.h"

namespace quillon::reader {

// Serves the card of the volume VolumeFollower follows: present while that
// volume is mounted and its container there, loadable and unchanged behind the
// powered card's back.
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

  // Follows the volume the state file remembers (see VolumeFollower). Throws
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
  bool evaluate(VolumeView* seen);
  // A powered card went away: pcscd must see it gone.
  void dropCard();
  // Another card from now on, however alike: gone for pcscd, and its container
  // version, served or refused, no longer counts.
  void forgetCard();

  ChangeSignal signal_;
  mutable std::mutex mutex_;
  VolumeFollower follower_;
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
