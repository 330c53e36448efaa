// Which volume the virtual reader serves, and finding it again: set by SWALLOW,
// cleared by EJECT, remembered across pcscd restarts in the state file. A stick
// pulled and plugged in again comes back under another device path; the volume
// is then found again by its identity, when that names one volume only.
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
//
// Not thread-safe: its owner (VirtualReader) calls it under its own mutex.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/SystemPaths.h"
#include "reader/ContainerVersion.h"
#include "reader/MountWatch.h"
#include "reader/StateFile.h"
#include "reader/VolumeIdentity.h"

namespace quillon::reader {

class VolumeFollower {
 public:
  // Takes up the remembered volume again when it is mounted and acceptable, or
  // when it was plugged in again elsewhere and its identity finds it; failing
  // that, the card of a mounted volume as if it had just been plugged in.
  VolumeFollower(const platform::SystemPaths& paths, std::string statePath);

  // The device path of the volume served; empty when there is none.
  const std::string& volume() const noexcept { return volume_; }
  const platform::SystemPaths& paths() const noexcept { return paths_; }
  const std::string& statePath() const noexcept { return state_.path(); }

  // One look at the world: follows the volume to where a re-plug took it, and
  // takes up a newly plugged-in card. `moved` is set when the volume served is
  // now another one (its card is a new card).
  VolumeView look(bool& moved);

  // Forgets the volume, in memory and in the state file; its mounts are
  // remembered as ejected, so that no new channel takes the card up before the
  // stick is mounted anew. `had` tells whether a volume was served. Returns 0 or
  // the state file's errno value (the volume is forgotten anyway).
  int eject(bool& had);

  enum class Taken { kRefused, kSameVolume, kNewVolume };
  // Takes up the volume whose device path `input` carries (UTF-16LE with its
  // NUL): it must resolve inside the sysfs root to a block device mounted now as
  // a whole volume on a removable disk. Remembered in the state file with the
  // volume's identity; kRefused, with nothing changed, when anything fails.
  Taken swallow(std::span<const std::uint8_t> input);

 private:
  // A volume that passed SWALLOW's checks.
  struct Volume {
    std::string devicePath;  // canonical
    std::string mountPoint;
  };
  enum class Search { kFound, kNotFound, kAmbiguous };

  bool acceptableVolume(const std::string& path, Volume& volume, std::string& reason) const;
  // The identity to remember for `volume`; none when it cannot be read.
  std::optional<VolumeIdentity> identityOf(const Volume& volume) const;
  // The one acceptable volume mounted now with `identity`, which must hold a
  // serial number; several such volumes are ambiguous and none is taken.
  Search findReplugged(const VolumeIdentity& identity, Volume& volume, std::string& reason) const;
  // Once volume_'s device is gone: moves to the volume findReplugged gives for
  // identity_, and remembers its path.
  bool followReplugged();
  void takeUpRemembered(const RememberedVolume& remembered);
  // At every look at the world: notes the mounts new since the last look and,
  // unless `rememberedMounted`, takes up the one new volume that carries a card
  // of its own stick. True when it took one up.
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
  std::string volume_;
  std::optional<VolumeIdentity> identity_;  // of volume_, when it could be read
  // The state file's volume when the channel opened without it mounted: not
  // served, yet still remembered, and its stick is still left to the re-plug
  // search rather than taken when plugged in elsewhere.
  RememberedVolume awaited_;
  std::vector<EjectedMount> ejected_;  // in the state file too
  MountWatch mounts_;
  bool ambiguityReported_ = false;  // that identity_ names several volumes, logged once
};

}  // namespace quillon::reader
