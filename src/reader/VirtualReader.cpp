#include "reader/VirtualReader.h"

#include <fcntl.h>
#include <openssl/crypto.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "base/FileHandle.h"
#include "base/Trace.h"
#include "container/DriveLock.h"
#include "platform/VolumePath.h"
#include "reader/CardAtr.h"
#include "reader/ReaderLog.h"

namespace quillon::reader {

namespace {

const char* const kEjectFn = "VirtualReader::eject";
const char* const kSwallowFn = "VirtualReader::swallow";
const char* const kPresence = "VirtualReader::present";
const char* const kPower = "VirtualReader::powerUp";
const char* const kTransmit = "VirtualReader::transmit";

}  // namespace

VirtualReader::VirtualReader(const ReaderConfig& config)
    : follower_(platform::SystemPaths(config.procRoot, config.sysRoot), config.statePath) {}

VirtualReader::~VirtualReader() = default;

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
  bool had = false;
  const int err = follower_.eject(had);
  forgetCard();
  signal_.notify();
  if (err != 0) {
    report(trace::kError, kEjectFn, "EJECT: the volume could not be forgotten in %s (errno %d)",
           follower_.statePath().c_str(), err);
    return false;
  }
  QTRACE(trace::kInformation, kEjectFn, "EJECT: %s", had ? "card ejected" : "no card to eject");
  return true;
}

bool VirtualReader::swallow(std::span<const std::uint8_t> input) {
  std::lock_guard lock(mutex_);
  const VolumeFollower::Taken taken = follower_.swallow(input);
  if (taken == VolumeFollower::Taken::kRefused) return false;
  if (taken == VolumeFollower::Taken::kNewVolume) {
    forgetCard();
  } else {
    failed_.reset();  // a container refused before gets another try
  }
  signal_.notify();
  report(trace::kInformation, kSwallowFn, "SWALLOW: serving the card of %s", follower_.volume().c_str());
  return true;
}

void VirtualReader::dropCard() {
  if (!card_) return;
  card_.reset();
  pendingAbsent_ = true;
}

void VirtualReader::forgetCard() {
  card_.reset();
  served_.reset();
  failed_.reset();
  pendingAbsent_ = true;
}

bool VirtualReader::evaluate(VolumeView* seen) {
  bool moved = false;
  VolumeView view = follower_.look(moved);
  if (moved) forgetCard();  // settled at once unless pcscd still sees another card

  bool there = false;
  if (!follower_.volume().empty()) {
    if (!view.container) {
      if (card_) QTRACE(trace::kInformation, kPresence, "VirtualReader: the volume or its container went away");
      dropCard();
    } else {
      if (served_ && *served_ != *view.container) {
        QTRACE(trace::kInformation, kPresence, "VirtualReader: the container changed, a new card is present");
        forgetCard();
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
  std::unique_ptr<ServedCard> card = ServedCard::load(follower_.paths(), view.mountPoint, reason);
  if (!card) {
    failed_ = view.container;
    report(trace::kError, kPower, "the card of %s cannot be served: %s", follower_.volume().c_str(), reason.c_str());
    signal_.notify();
    return IFD_ERROR_POWER_ACTION;
  }
  served_ = card->loadedVersion();
  card_ = std::move(card);
  std::copy(kCardAtr.begin(), kCardAtr.end(), atr.begin());
  atrLength = kCardAtr.size();
  QTRACE(trace::kInformation, kPower, "VirtualReader: card of %s powered", follower_.volume().c_str());
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
    report(trace::kWarning, kTransmit, "the card of %s is in use by another program: command refused",
           card_->mountPoint().c_str());
    return IFD_COMMUNICATION_ERROR;
  }
  if (!driveLock.locked()) {
    report(trace::kError, kTransmit, "the drive %s cannot be locked (errno %d): command refused",
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
      report(trace::kError, kTransmit,
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
  const std::string mountInfo = (follower_.paths().procRoot() / "self" / "mountinfo").string();
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
  return follower_.volume();
}

}  // namespace quillon::reader
