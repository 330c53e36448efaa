#include "reader/VolumeFollower.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "base/Trace.h"
#include "platform/Drives.h"
#include "platform/StorageVolume.h"
#include "platform/VolumePath.h"
#include "reader/ReaderLog.h"
#include "reader/ServedCard.h"

namespace quillon::reader {

namespace {

// Named after the reader's operations they serve, as the trace has always shown them.
const char* const kCreate = "VirtualReader::VirtualReader";
const char* const kSwallowFn = "VirtualReader::swallow";
const char* const kPresence = "VirtualReader::present";
const char* const kIdentity = "VirtualReader::identityOf";
const char* const kPlugged = "VirtualReader::watchMounts";

// The same USB device, whichever of its volumes.
bool sameStick(const VolumeIdentity& a, const VolumeIdentity& b) {
  return static_cast<const platform::DeviceIdentity&>(a) == b;
}

}  // namespace

VolumeFollower::VolumeFollower(const platform::SystemPaths& paths, std::string statePath)
    : paths_(paths), state_(std::move(statePath)) {
  RememberedVolume remembered;
  if (const int err = state_.load(remembered); err != 0) {
    report(trace::kWarning, kCreate, "cannot read the state file %s (errno %d): no volume taken up",
           state_.path().c_str(), err);
    // What it said about ejected sticks is unknown: what is mounted now stays out.
    mounts_.look(paths_);
    return;
  }
  ejected_ = std::move(remembered.ejected);
  if (!remembered.devicePath.empty()) takeUpRemembered(remembered);
  if (volume_.empty() && !remembered.devicePath.empty()) {
    awaited_.devicePath = remembered.devicePath;
    awaited_.identity = remembered.identity;
  }
  // Every volume mounted now is new to this channel.
  watchMounts(!volume_.empty() && !observeVolume(paths_, volume_).mountPoint.empty());
}

VolumeView VolumeFollower::look(bool& moved) {
  moved = false;
  VolumeView view;
  if (!volume_.empty()) {
    view = observeVolume(paths_, volume_);
    if (view.deviceGone && followReplugged()) {
      moved = true;
      view = observeVolume(paths_, volume_);
    }
  }
  // At every look, so that what was mounted while a card was served is never new later.
  if (watchMounts(!view.mountPoint.empty())) {
    moved = true;
    view = observeVolume(paths_, volume_);
  }
  return view;
}

int VolumeFollower::eject(bool& had) {
  std::vector<VolumeMount> mounts;
  if (readVolumeMounts(paths_, mounts)) {
    pruneEjected(mounts);
    // Every mount of the volume's device: one mounted twice is still the one stick.
    std::string mountPoint;
    if (!volume_.empty() && platform::findVolumeMount(paths_, volume_, mountPoint) == 0) {
      const auto at = std::find_if(mounts.begin(), mounts.end(),
                                   [&](const VolumeMount& m) { return m.entry.mountPoint == mountPoint; });
      for (const VolumeMount& mount : mounts) {
        if (at == mounts.end() || mount.entry.major != at->entry.major || mount.entry.minor != at->entry.minor)
          continue;
        const EjectedMount ejected{mount.id, volume_};
        if (std::find(ejected_.begin(), ejected_.end(), ejected) == ejected_.end()) ejected_.push_back(ejected);
      }
      if (ejected_.size() > StateFile::kMaxEjected)
        ejected_.erase(ejected_.begin(), ejected_.end() - StateFile::kMaxEjected);
    }
  }
  had = !volume_.empty();
  volume_.clear();
  identity_.reset();
  awaited_ = {};
  ambiguityReported_ = false;
  return ejected_.empty() ? state_.forget() : rememberState();
}

VolumeFollower::Taken VolumeFollower::swallow(std::span<const std::uint8_t> input) {
  std::string path;
  if (!platform::decodeDevicePath(input, path)) {
    report(trace::kWarning, kSwallowFn, "SWALLOW refused: malformed device path (%zu bytes)", input.size());
    return Taken::kRefused;
  }
  Volume found;
  std::string reason;
  if (!acceptableVolume(path, found, reason)) {
    report(trace::kWarning, kSwallowFn, "SWALLOW refused: %s", reason.c_str());
    return Taken::kRefused;
  }
  std::optional<VolumeIdentity> identity = identityOf(found);
  // Swallowed, an ejected stick is in again.
  std::vector<EjectedMount> ejected = ejected_;
  std::erase_if(ejected, [&](const EjectedMount& mount) { return mount.devicePath == found.devicePath; });
  if (const int err = state_.remember({found.devicePath, identity, ejected}); err != 0) {
    report(trace::kError, kSwallowFn, "SWALLOW refused: the volume could not be remembered in %s (errno %d)",
           state_.path().c_str(), err);
    return Taken::kRefused;
  }
  ejected_ = std::move(ejected);
  awaited_ = {};
  identity_ = std::move(identity);
  ambiguityReported_ = false;
  if (found.devicePath == volume_) return Taken::kSameVolume;
  volume_ = std::move(found.devicePath);
  return Taken::kNewVolume;
}

void VolumeFollower::takeUpRemembered(const RememberedVolume& remembered) {
  Volume found;
  std::string reason;
  std::optional<VolumeIdentity> identity;
  bool replugged = false;
  if (acceptableVolume(remembered.devicePath, found, reason)) {
    // Read afresh: a state file of the first format gains the identity here.
    identity = identityOf(found);
    if (!identity) identity = remembered.identity;
  } else {
    std::string why;
    const bool gone = observeVolume(paths_, remembered.devicePath).deviceGone;
    const Search search =
        gone && remembered.identity ? findReplugged(*remembered.identity, found, why) : Search::kNotFound;
    if (search == Search::kAmbiguous) {
      report(trace::kWarning, kCreate, "remembered volume %s not taken up: %s; %s",
             printable(remembered.devicePath).c_str(), reason.c_str(), why.c_str());
      return;
    }
    if (search != Search::kFound) {
      QTRACE(trace::kInformation, kCreate, "VirtualReader: remembered volume %s not taken up: %s%s%s",
             printable(remembered.devicePath).c_str(), reason.c_str(), why.empty() ? "" : "; ", why.c_str());
      return;
    }
    identity = remembered.identity;
    replugged = true;
  }
  volume_ = found.devicePath;
  identity_ = std::move(identity);
  if (volume_ != remembered.devicePath || identity_ != remembered.identity) {
    if (const int err = rememberState(); err != 0) {
      report(trace::kWarning, kCreate, "the volume %s could not be remembered anew in %s (errno %d)", volume_.c_str(),
             state_.path().c_str(), err);
    }
  }
  if (replugged) {
    report(trace::kInformation, kCreate, "took up the remembered volume %s again, plugged in again as %s",
           printable(remembered.devicePath).c_str(), volume_.c_str());
  } else {
    report(trace::kInformation, kCreate, "took up the remembered volume %s again", volume_.c_str());
  }
}

bool VolumeFollower::acceptableVolume(const std::string& path, Volume& volume, std::string& reason) const {
  volume = {};
  if (const std::uint32_t err = platform::findVolumeMount(paths_, path, volume.mountPoint); err != 0) {
    reason = "no block device mounted whole for " + printable(path) + " (error " + std::to_string(err) + ")";
    return false;
  }
  if (!platform::isVolumeCompatible(paths_, volume.mountPoint)) {
    reason = "the volume at " + volume.mountPoint + " is not on a removable disk";
    return false;
  }
  if (const std::uint32_t err = platform::volumeDevicePath(paths_, volume.mountPoint, volume.devicePath); err != 0) {
    reason = "no device path for " + volume.mountPoint + " (error " + std::to_string(err) + ")";
    return false;
  }
  return true;
}

std::optional<VolumeIdentity> VolumeFollower::identityOf(const Volume& volume) const {
  VolumeIdentity identity;
  if (!readVolumeIdentity(paths_, volume.mountPoint, identity)) {
    QTRACE(trace::kInformation, kIdentity, "VirtualReader: no identity for %s: not found again after a re-plug",
           volume.mountPoint.c_str());
    return std::nullopt;
  }
  if (!identity.recognisable()) {
    QTRACE(trace::kInformation, kIdentity,
           "VirtualReader: the device of %s has no serial number: not found again after a re-plug",
           volume.mountPoint.c_str());
  }
  return identity;
}

VolumeFollower::Search VolumeFollower::findReplugged(const VolumeIdentity& identity, Volume& volume,
                                                     std::string& reason) const {
  if (!identity.recognisable()) {
    reason = "its device has no serial number to be found again by";
    return Search::kNotFound;
  }
  const std::vector<std::string> found = findVolumesWithIdentity(paths_, identity);
  if (found.size() > 1) {
    reason = std::to_string(found.size()) + " mounted volumes carry its identity";
    return Search::kAmbiguous;
  }
  if (found.empty()) {
    reason = "no mounted volume carries its identity";
    return Search::kNotFound;
  }
  return acceptableVolume(found.front(), volume, reason) ? Search::kFound : Search::kNotFound;
}

bool VolumeFollower::followReplugged() {
  if (!identity_ || !identity_->recognisable()) return false;
  Volume found;
  std::string reason;
  const Search search = findReplugged(*identity_, found, reason);
  if (search == Search::kAmbiguous && !ambiguityReported_) {
    report(trace::kWarning, kPresence, "the volume of %s is not followed: %s", volume_.c_str(), reason.c_str());
  }
  ambiguityReported_ = search == Search::kAmbiguous;
  if (search != Search::kFound) return false;

  const std::string from = std::exchange(volume_, found.devicePath);
  if (const int err = rememberState(); err != 0) {
    report(trace::kWarning, kPresence, "the volume %s could not be remembered in %s (errno %d)", volume_.c_str(),
           state_.path().c_str(), err);
  }
  report(trace::kInformation, kPresence, "the volume of %s was plugged in again as %s", from.c_str(), volume_.c_str());
  return true;
}

bool VolumeFollower::watchMounts(bool rememberedMounted) {
  const MountWatch::Look look = mounts_.look(paths_);
  if (!look.ok) return false;
  if (look.changed && pruneEjected(look.all)) {
    if (const int err =
            ejected_.empty() && volume_.empty() && awaited_.devicePath.empty() ? state_.forget() : rememberState();
        err != 0) {
      QTRACE(trace::kWarning, kPlugged, "VirtualReader: the state file %s could not be updated (errno %d)",
             state_.path().c_str(), err);
    }
  }
  if (rememberedMounted || look.fresh.empty()) return false;

  struct Card {
    Volume volume;
    std::optional<VolumeIdentity> identity;
  };
  std::vector<Card> cards;
  for (const VolumeMount& mount : look.fresh) {
    Card card;
    if (!pluggedCard(mount, card.volume, card.identity)) continue;
    const bool seen = std::any_of(cards.begin(), cards.end(),
                                  [&](const Card& other) { return other.volume.devicePath == card.volume.devicePath; });
    if (!seen) cards.push_back(std::move(card));
  }
  if (cards.empty()) return false;
  if (cards.size() > 1) {
    std::string where;
    for (const Card& card : cards) where += (where.empty() ? "" : ", ") + card.volume.mountPoint;
    report(trace::kWarning, kPlugged,
           "%zu volumes newly mounted carry a card (%s): none is taken up, SWALLOW one of them", cards.size(),
           where.c_str());
    return false;
  }

  Card& card = cards.front();
  volume_ = std::move(card.volume.devicePath);
  identity_ = std::move(card.identity);
  awaited_ = {};
  ambiguityReported_ = false;
  std::erase_if(ejected_, [&](const EjectedMount& mount) { return mount.devicePath == volume_; });
  if (const int err = rememberState(); err != 0) {
    report(trace::kWarning, kPlugged, "the volume %s could not be remembered in %s (errno %d)", volume_.c_str(),
           state_.path().c_str(), err);
  }
  report(trace::kInformation, kPlugged, "serving the card of %s, newly mounted at %s", volume_.c_str(),
         card.volume.mountPoint.c_str());
  return true;
}

bool VolumeFollower::pluggedCard(const VolumeMount& mount, Volume& volume,
                                 std::optional<VolumeIdentity>& identity) const noexcept {
  const std::string& mountPoint = mount.entry.mountPoint;
  try {
    // Past fixed disks and volumes without a container quietly.
    platform::StorageVolume storage;
    bool removable = false;
    if (platform::locateVolume(paths_, mount.entry, storage) != 0 ||
        platform::readRemovable(paths_, storage, removable) != 0 || !removable || !currentVersion(mountPoint)) {
      return false;
    }
    volume = {};
    if (!platform::isVolumeCompatible(paths_, mountPoint) ||
        platform::volumeDevicePath(paths_, mountPoint, volume.devicePath) != 0) {
      QTRACE(trace::kInformation, kPlugged, "VirtualReader: %s, newly mounted, is not a volume to serve",
             printable(mountPoint).c_str());
      return false;
    }
    volume.mountPoint = mountPoint;
    if (std::find(ejected_.begin(), ejected_.end(), EjectedMount{mount.id, volume.devicePath}) != ejected_.end()) {
      QTRACE(trace::kInformation, kPlugged, "VirtualReader: %s was ejected and not mounted anew: not taken up",
             volume.devicePath.c_str());
      return false;
    }
    VolumeIdentity seen;
    if (readVolumeIdentity(paths_, mountPoint, seen)) identity = seen;
    const std::string& ownPath = volume_.empty() ? awaited_.devicePath : volume_;
    const std::optional<VolumeIdentity>& own = volume_.empty() ? awaited_.identity : identity_;
    if (identity && own && sameStick(*identity, *own) && volume.devicePath != ownPath) {
      QTRACE(trace::kInformation, kPlugged,
             "VirtualReader: %s is on the remembered stick: left to finding it again after a re-plug",
             volume.devicePath.c_str());
      return false;
    }
    std::string reason;
    if (!ServedCard::load(paths_, mountPoint, reason)) {
      report(trace::kWarning, kPlugged, "the card of %s, newly mounted, is not taken up: %s",
             printable(mountPoint).c_str(), reason.c_str());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    report(trace::kError, kPlugged, "the card of %s, newly mounted, is not taken up: %s", printable(mountPoint).c_str(),
           e.what());
  } catch (...) {
    report(trace::kError, kPlugged, "the card of %s, newly mounted, is not taken up", printable(mountPoint).c_str());
  }
  return false;
}

bool VolumeFollower::pruneEjected(const std::vector<VolumeMount>& mounts) {
  return std::erase_if(ejected_, [&](const EjectedMount& ejected) {
           const auto same = [&](const VolumeMount& mount) {
             std::string path;
             return mount.id == ejected.mountId &&
                    platform::volumeDevicePath(paths_, mount.entry.mountPoint, path) == 0 && path == ejected.devicePath;
           };
           return std::none_of(mounts.begin(), mounts.end(), same);
         }) != 0;
}

int VolumeFollower::rememberState() const {
  if (!volume_.empty()) return state_.remember({volume_, identity_, ejected_});
  // Not taken up at channel open: still the one remembered.
  return state_.remember({awaited_.devicePath, awaited_.identity, ejected_});
}

}  // namespace quillon::reader
