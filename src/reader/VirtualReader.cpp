#include "reader/VirtualReader.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <syslog.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "base/FileHandle.h"
#include "base/Trace.h"
#include "container/DriveLock.h"
#include "platform/Drives.h"
#include "platform/StorageVolume.h"
#include "platform/VolumePath.h"
#include "reader/CardAtr.h"
#include "reader/ReaderLog.h"

namespace quillon::reader {

namespace {

const char* const kCreate = "VirtualReader::VirtualReader";
const char* const kEjectFn = "VirtualReader::eject";
const char* const kSwallowFn = "VirtualReader::swallow";
const char* const kPresence = "VirtualReader::present";
const char* const kPower = "VirtualReader::powerUp";
const char* const kTransmit = "VirtualReader::transmit";
const char* const kIdentity = "VirtualReader::identityOf";
const char* const kPlugged = "VirtualReader::watchMounts";

// The same USB device, whichever of its volumes.
bool sameStick(const VolumeIdentity& a, const VolumeIdentity& b) {
  return a.vendor == b.vendor && a.product == b.product && a.revision == b.revision && a.serial == b.serial;
}

}  // namespace

VirtualReader::VirtualReader(const ReaderConfig& config)
    : paths_(config.procRoot, config.sysRoot), state_(config.statePath) {
  RememberedVolume remembered;
  if (const int err = state_.load(remembered); err != 0) {
    report(LOG_WARNING, trace::kWarning, kCreate, "cannot read the state file %s (errno %d): no volume taken up",
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
  std::lock_guard lock(mutex_);
  watchMounts(!volume_.empty() && !observeVolume(paths_, volume_).mountPoint.empty());
}

VirtualReader::~VirtualReader() = default;

void VirtualReader::takeUpRemembered(const RememberedVolume& remembered) {
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
      report(LOG_WARNING, trace::kWarning, kCreate, "remembered volume %s not taken up: %s; %s",
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
      report(LOG_WARNING, trace::kWarning, kCreate, "the volume %s could not be remembered anew in %s (errno %d)",
             volume_.c_str(), state_.path().c_str(), err);
    }
  }
  if (replugged) {
    report(LOG_INFO, trace::kInformation, kCreate, "took up the remembered volume %s again, plugged in again as %s",
           printable(remembered.devicePath).c_str(), volume_.c_str());
  } else {
    report(LOG_INFO, trace::kInformation, kCreate, "took up the remembered volume %s again", volume_.c_str());
  }
}

bool VirtualReader::acceptableVolume(const std::string& path, Volume& volume, std::string& reason) const {
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

std::optional<VolumeIdentity> VirtualReader::identityOf(const Volume& volume) const {
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

VirtualReader::Search VirtualReader::findReplugged(const VolumeIdentity& identity, Volume& volume,
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

bool VirtualReader::followReplugged() {
  if (!identity_ || !identity_->recognisable()) return false;
  Volume found;
  std::string reason;
  const Search search = findReplugged(*identity_, found, reason);
  if (search == Search::kAmbiguous && !ambiguityReported_) {
    report(LOG_WARNING, trace::kWarning, kPresence, "the volume of %s is not followed: %s", volume_.c_str(),
           reason.c_str());
  }
  ambiguityReported_ = search == Search::kAmbiguous;
  if (search != Search::kFound) return false;

  const std::string from = std::exchange(volume_, found.devicePath);
  // Another device now, however alike: its card starts from a fresh power-up.
  dropCard();
  served_.reset();
  failed_.reset();
  pendingAbsent_ = true;
  if (const int err = rememberState(); err != 0) {
    report(LOG_WARNING, trace::kWarning, kPresence, "the volume %s could not be remembered in %s (errno %d)",
           volume_.c_str(), state_.path().c_str(), err);
  }
  report(LOG_INFO, trace::kInformation, kPresence, "the volume of %s was plugged in again as %s", from.c_str(),
         volume_.c_str());
  return true;
}

RESPONSECODE VirtualReader::control(DWORD code, std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                                    std::size_t& returned) {
  returned = 0;
  switch (code) {
    case kEject:
      if (!input.empty()) return IFD_COMMUNICATION_ERROR;
      return eject() ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
    case kSwallow: return swallow(input) ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
    case kGetVolume: {
      if (!input.empty()) return IFD_COMMUNICATION_ERROR;
      const std::string served = volume();
      if (served.empty()) return IFD_SUCCESS;
      const std::vector<std::uint8_t> path = platform::encodeDevicePath(served);
      if (path.empty()) return IFD_COMMUNICATION_ERROR;  // a canonical path always encodes
      if (path.size() > output.size()) return IFD_ERROR_INSUFFICIENT_BUFFER;
      std::copy(path.begin(), path.end(), output.begin());
      returned = path.size();
      return IFD_SUCCESS;
    }
    case kGetFeatureRequest: return IFD_SUCCESS;  // no features: an empty list
    default: return IFD_ERROR_NOT_SUPPORTED;
  }
}

bool VirtualReader::eject() {
  std::lock_guard lock(mutex_);
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
  dropCard();
  const bool had = !volume_.empty();
  volume_.clear();
  identity_.reset();
  awaited_ = {};
  ambiguityReported_ = false;
  served_.reset();
  failed_.reset();
  pendingAbsent_ = true;
  const int err = ejected_.empty() ? state_.forget() : rememberState();
  signal_.notify();
  if (err != 0) {
    report(LOG_ERR, trace::kError, kEjectFn, "EJECT: the volume could not be forgotten in %s (errno %d)",
           state_.path().c_str(), err);
    return false;
  }
  QTRACE(trace::kInformation, kEjectFn, "EJECT: %s", had ? "card ejected" : "no card to eject");
  return true;
}

bool VirtualReader::swallow(std::span<const std::uint8_t> input) {
  std::string path;
  if (!platform::decodeDevicePath(input, path)) {
    report(LOG_WARNING, trace::kWarning, kSwallowFn, "SWALLOW refused: malformed device path (%zu bytes)",
           input.size());
    return false;
  }
  Volume found;
  std::string reason;
  if (!acceptableVolume(path, found, reason)) {
    report(LOG_WARNING, trace::kWarning, kSwallowFn, "SWALLOW refused: %s", reason.c_str());
    return false;
  }
  std::optional<VolumeIdentity> identity = identityOf(found);

  std::lock_guard lock(mutex_);
  // Swallowed, an ejected stick is in again.
  std::vector<EjectedMount> ejected = ejected_;
  std::erase_if(ejected, [&](const EjectedMount& mount) { return mount.devicePath == found.devicePath; });
  if (const int err = state_.remember({found.devicePath, identity, ejected}); err != 0) {
    report(LOG_ERR, trace::kError, kSwallowFn, "SWALLOW refused: the volume could not be remembered in %s (errno %d)",
           state_.path().c_str(), err);
    return false;
  }
  ejected_ = std::move(ejected);
  awaited_ = {};
  if (found.devicePath != volume_) {
    dropCard();
    served_.reset();
    pendingAbsent_ = true;
    volume_ = found.devicePath;
  }
  identity_ = std::move(identity);
  ambiguityReported_ = false;
  failed_.reset();  // a container refused before gets another try
  signal_.notify();
  report(LOG_INFO, trace::kInformation, kSwallowFn, "SWALLOW: serving the card of %s", volume_.c_str());
  return true;
}

void VirtualReader::dropCard() {
  if (!card_) return;
  card_.reset();
  pendingAbsent_ = true;  // a powered card went away: pcscd must see it gone
}

bool VirtualReader::evaluate(VolumeView* seen) {
  VolumeView view;
  if (!volume_.empty()) {
    view = observeVolume(paths_, volume_);
    if (view.deviceGone && followReplugged()) view = observeVolume(paths_, volume_);
  }
  // At every look, so that what was mounted while a card was served is never new later.
  if (watchMounts(!view.mountPoint.empty())) view = observeVolume(paths_, volume_);

  bool there = false;
  if (!volume_.empty()) {
    if (!view.container) {
      if (card_) QTRACE(trace::kInformation, kPresence, "VirtualReader: the volume or its container went away");
      dropCard();
    } else {
      if (served_ && *served_ != *view.container) {
        QTRACE(trace::kInformation, kPresence, "VirtualReader: the container changed, a new card is present");
        dropCard();
        served_.reset();
        pendingAbsent_ = true;
      }
      if (failed_ && *failed_ != *view.container) failed_.reset();
      there = !failed_;
    }
    if (seen != nullptr) *seen = std::move(view);
  } else {
    dropCard();
  }
  // While pcscd already sees no card, the absence owed is settled.
  if (pendingAbsent_ && !reported_) pendingAbsent_ = false;
  return there && !pendingAbsent_;
}

bool VirtualReader::watchMounts(bool rememberedMounted) {
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
    report(LOG_WARNING, trace::kWarning, kPlugged,
           "%zu volumes newly mounted carry a card (%s): none is taken up, SWALLOW one of them", cards.size(),
           where.c_str());
    return false;
  }

  Card& card = cards.front();
  dropCard();
  served_.reset();
  failed_.reset();
  pendingAbsent_ = true;  // settled at once unless pcscd still sees another card
  volume_ = std::move(card.volume.devicePath);
  identity_ = std::move(card.identity);
  awaited_ = {};
  ambiguityReported_ = false;
  std::erase_if(ejected_, [&](const EjectedMount& mount) { return mount.devicePath == volume_; });
  if (const int err = rememberState(); err != 0) {
    report(LOG_WARNING, trace::kWarning, kPlugged, "the volume %s could not be remembered in %s (errno %d)",
           volume_.c_str(), state_.path().c_str(), err);
  }
  report(LOG_INFO, trace::kInformation, kPlugged, "serving the card of %s, newly mounted at %s", volume_.c_str(),
         card.volume.mountPoint.c_str());
  return true;
}

bool VirtualReader::pluggedCard(const VolumeMount& mount, Volume& volume,
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
      report(LOG_WARNING, trace::kWarning, kPlugged, "the card of %s, newly mounted, is not taken up: %s",
             printable(mountPoint).c_str(), reason.c_str());
      return false;
    }
    return true;
  } catch (const std::exception& e) {
    report(LOG_ERR, trace::kError, kPlugged, "the card of %s, newly mounted, is not taken up: %s",
           printable(mountPoint).c_str(), e.what());
  } catch (...) {
    report(LOG_ERR, trace::kError, kPlugged, "the card of %s, newly mounted, is not taken up",
           printable(mountPoint).c_str());
  }
  return false;
}

bool VirtualReader::pruneEjected(const std::vector<VolumeMount>& mounts) {
  return std::erase_if(ejected_, [&](const EjectedMount& ejected) {
           const auto same = [&](const VolumeMount& mount) {
             std::string path;
             return mount.id == ejected.mountId &&
                    platform::volumeDevicePath(paths_, mount.entry.mountPoint, path) == 0 && path == ejected.devicePath;
           };
           return std::none_of(mounts.begin(), mounts.end(), same);
         }) != 0;
}

int VirtualReader::rememberState() const {
  if (!volume_.empty()) return state_.remember({volume_, identity_, ejected_});
  // Not taken up at channel open: still the one remembered.
  return state_.remember({awaited_.devicePath, awaited_.identity, ejected_});
}

bool VirtualReader::present() {
  std::lock_guard lock(mutex_);
  const bool now = evaluate(nullptr);
  if (!now) pendingAbsent_ = false;
  reported_ = now;
  return now;
}

RESPONSECODE VirtualReader::powerUp(std::span<std::uint8_t> atr, std::size_t& atrLength) {
  std::lock_guard lock(mutex_);
  atrLength = 0;
  card_.reset();  // a reset, not a removal
  VolumeView view;
  if (!evaluate(&view)) return IFD_ICC_NOT_PRESENT;
  if (atr.size() < kCardAtr.size()) return IFD_COMMUNICATION_ERROR;

  std::string reason;
  std::unique_ptr<ServedCard> card = ServedCard::load(paths_, view.mountPoint, reason);
  if (!card) {
    failed_ = view.container;
    report(LOG_ERR, trace::kError, kPower, "the card of %s cannot be served: %s", volume_.c_str(), reason.c_str());
    signal_.notify();
    return IFD_ERROR_POWER_ACTION;
  }
  served_ = card->loadedVersion();
  card_ = std::move(card);
  std::copy(kCardAtr.begin(), kCardAtr.end(), atr.begin());
  atrLength = kCardAtr.size();
  QTRACE(trace::kInformation, kPower, "VirtualReader: card of %s powered", volume_.c_str());
  return IFD_SUCCESS;
}

void VirtualReader::powerDown() {
  std::lock_guard lock(mutex_);
  card_.reset();
}

bool VirtualReader::powered() const {
  std::lock_guard lock(mutex_);
  return card_ != nullptr;
}

RESPONSECODE VirtualReader::transmit(std::span<const std::uint8_t> command, std::span<std::uint8_t> response,
                                     std::size_t& length) {
  std::lock_guard lock(mutex_);
  length = 0;
  if (!card_) return IFD_ICC_NOT_PRESENT;
  // Other writers (quillon-card) hold the drive's lock across their commands:
  // the check below and the command run while none of them is at work. A card
  // kept longer than a second is not waited for; the command fails unsent.
  const container::DriveLock driveLock(card_->mountPoint(), container::DriveLock::kReaderWait);
  if (driveLock.outcome() == container::DriveLock::Outcome::kTimedOut) {
    report(LOG_WARNING, trace::kWarning, kTransmit, "the card of %s is in use by another program: command refused",
           card_->mountPoint().c_str());
    return IFD_COMMUNICATION_ERROR;
  }
  if (!driveLock.locked()) {
    report(LOG_ERR, trace::kError, kTransmit, "the drive %s cannot be locked (errno %d): command refused",
           card_->mountPoint().c_str(), driveLock.error());
    return IFD_COMMUNICATION_ERROR;
  }
  // The card must still be the container it came from: a replaced or deleted
  // file is never written from a stale card.
  const std::optional<ContainerVersion> now = currentVersion(card_->mountPoint());
  if (!now || !served_ || *now != *served_) {
    QTRACE(trace::kInformation, kTransmit, "VirtualReader: the container changed under the powered card");
    dropCard();
    signal_.notify();
    return IFD_ICC_NOT_PRESENT;
  }

  std::array<std::uint8_t, ServedCard::kMaxResponse> answer{};
  std::size_t n = 0;
  const ServedCard::Outcome outcome = card_->transmit(command, answer, n);
  if (card_->saved()) served_ = currentVersion(card_->mountPoint());

  RESPONSECODE result = IFD_SUCCESS;
  switch (outcome) {
    case ServedCard::Outcome::kAnswered:
      if (n > response.size()) {
        result = IFD_ERROR_INSUFFICIENT_BUFFER;
        break;
      }
      std::memcpy(response.data(), answer.data(), n);
      length = n;
      break;
    case ServedCard::Outcome::kSaveFailed:
      report(LOG_ERR, trace::kError, kTransmit,
             "the card's state could not be stored on %s (hr 0x%08X): answer withheld, card reset",
             card_->mountPoint().c_str(), card_->lastSaveError());
      dropCard();
      signal_.notify();
      result = IFD_COMMUNICATION_ERROR;
      break;
    case ServedCard::Outcome::kFailed: result = IFD_COMMUNICATION_ERROR; break;
  }
  OPENSSL_cleanse(answer.data(), answer.size());
  return result;
}

void VirtualReader::waitForChange(std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + timeout;
  const std::string mountInfo = (paths_.procRoot() / "self" / "mountinfo").string();
  for (;;) {
    // Opened before looking, so that a mount change after the look still wakes us.
    FileHandle mounts(::open(mountInfo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    {
      std::lock_guard lock(mutex_);
      if (stopRequested_) {
        stopRequested_ = false;
        return;
      }
      if (evaluate(nullptr) != reported_) return;
    }
    // Rounded up: a truncated remainder would end the wait before its deadline.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return;
    signal_.wait(mounts.get(), std::min(left, kWatchInterval));
  }
}

void VirtualReader::stopWaiting() {
  std::lock_guard lock(mutex_);
  stopRequested_ = true;
  signal_.notify();
}

std::string VirtualReader::volume() const {
  std::lock_guard lock(mutex_);
  return volume_;
}

}  // namespace quillon::reader
