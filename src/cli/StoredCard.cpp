#include "cli/StoredCard.h"

#include <cstring>

#include "cli/Commands.h"
#include "personalise/FormatCard.h"

namespace quillon::cli {

bool StoredCard::lock(std::ostream& err) {
  lock_.emplace(drive_, container::DriveLock::kWriterWait);
  switch (lock_->outcome()) {
    case container::DriveLock::Outcome::kLocked: return true;
    case container::DriveLock::Outcome::kTimedOut: err << "quillon-card apdu: " << kCardInUse << "\n"; break;
    case container::DriveLock::Outcome::kFailed:
      err << "quillon-card apdu: the card in " << drive_ << " cannot be locked: " << std::strerror(lock_->error())
          << "\n";
      break;
  }
  lock_.reset();
  return false;
}

bool StoredCard::open(std::ostream& err) {
  if (begin(err) == nullptr) return false;
  lock_.reset();
  return true;
}

IJCRuntime* StoredCard::begin(std::ostream& err) {
  if (!lock(err)) return nullptr;
  const std::optional<reader::ContainerVersion> now = reader::currentVersion(drive_);
  if (!card_ || !now || now != version_) {
    card_.reset();
    card_ = load_(err);
    if (!card_) {
      lock_.reset();
      return nullptr;
    }
    version_ = now;
  }
  return card_->runtime.get();
}

bool StoredCard::end(std::ostream& err) {
  // The runtime stored what the command changed, but drops a failure: saving
  // again writes only what is not stored yet, and reports the failure.
  const std::uint32_t saved = card_->persist->save(*card_->runtime);
  // Under the lock, any change to the container since begin() is this session's.
  version_ = reader::currentVersion(drive_);
  lock_.reset();
  if (saved != 0) {
    err << "quillon-card apdu: the card could not be saved: " << statusMessage(saved) << "\n";
    return false;
  }
  return true;
}

}  // namespace quillon::cli
