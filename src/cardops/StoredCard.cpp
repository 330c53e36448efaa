#include "cardops/StoredCard.h"

#include <cctype>
#include <cstring>

#include "base/Status.h"
#include "gids/GidsAppletInstaller.h"
#include "jc/APDU.h"
#include "jc/Exceptions.h"
#include "personalise/FormatCard.h"

namespace quillon::cardops {

namespace {

constexpr const char* kCardInUse = "the card is in use by another program";

// The drive's lock as a writer takes it; empty with a sentence when it cannot be had.
bool lockDrive(const std::string& drive, std::optional<container::DriveLock>& lock, std::string& error) {
  lock.emplace(drive, container::DriveLock::kWriterWait);
  switch (lock->outcome()) {
    case container::DriveLock::Outcome::kLocked: return true;
    case container::DriveLock::Outcome::kTimedOut: error = kCardInUse; break;
    case container::DriveLock::Outcome::kFailed:
      error = "the card in " + drive + " cannot be locked: " + std::strerror(lock->error());
      break;
  }
  lock.reset();
  return false;
}

// Commands go to the runtime; what a command changed is saved before its answer
// is given, so an answer is never reported for a change that was lost.
class StoredChannel final : public CardChannel {
 public:
  explicit StoredChannel(LoadedCard& card) : card_(card) {}

  std::uint32_t transmit(std::span<const std::uint8_t> command, Answer& answer) override {
    if (command.size() > APDU::kBufferSize) return status::E_INVALIDARG;
    ossl::SecureBytes response(kMaxResponse, 0);
    std::uint32_t length = static_cast<std::uint32_t>(response.size());
    std::uint32_t rc = 0;
    try {
      rc = card_.runtime->transmit(command.data(), static_cast<std::uint32_t>(command.size()), response.data(), length);
    } catch (const ISOException&) {
      return status::E_INVALIDARG;
    }
    if (const std::uint32_t saved = card_.persist->save(*card_.runtime)) return saved;
    if (rc != 0) return rc;
    if (length < 2 || length > response.size()) return status::E_UNEXPECTED;
    answer.sw = static_cast<std::uint16_t>(response[length - 2] << 8 | response[length - 1]);
    answer.data.assign(response.begin(), response.begin() + (length - 2));
    return 0;
  }

 private:
  static constexpr std::size_t kMaxResponse = 65536 + 2;
  LoadedCard& card_;
};

}  // namespace

std::optional<LoadedCard> loadStoredCard(const std::string& drive, const DeviceIdentity& identity,
                                         IAppletInstaller& installer, std::string& error, LoadFailure* why) {
  LoadFailure ignored;
  LoadFailure& failure = why != nullptr ? *why : ignored;
  failure = LoadFailure::kNone;
  auto persist = std::make_unique<FilePersist>(identity, drive);
  std::unique_ptr<JCRuntimeImpl> runtime = persist->createRuntime(installer);
  if (!persist->hasKey()) {
    error = "no container key can be derived from this device's identity";
    failure = LoadFailure::kNoKey;
    return std::nullopt;
  }
  if (persist->refusesSaving()) {
    const std::string& reason = persist->loadFailure();
    error = "the card in " + persist->path() + " cannot be opened: " + (reason.empty() ? "it does not load" : reason) +
            "; it is left untouched";
    failure = LoadFailure::kUnreadable;
    return std::nullopt;
  }
  if (runtime->getApplet() == nullptr) {
    error = "there is no card in " + persist->path();
    failure = LoadFailure::kNoCard;
    return std::nullopt;
  }
  return LoadedCard{std::move(persist), std::move(runtime)};
}

bool StoredCard::lock(std::string& error) { return lockDrive(drive_, lock_, error); }

bool StoredCard::open(std::string& error) {
  if (begin(error) == nullptr) return false;
  lock_.reset();
  return true;
}

IJCRuntime* StoredCard::begin(std::string& error) {
  if (!lock(error)) return nullptr;
  const std::optional<reader::ContainerVersion> now = reader::currentVersion(drive_);
  if (!card_ || !now || now != version_) {
    card_.reset();
    card_ = load_(error);
    if (!card_) {
      lock_.reset();
      return nullptr;
    }
    version_ = now;
  }
  return card_->runtime.get();
}

bool StoredCard::end(std::string& error) {
  // The runtime stored what the command changed, but drops a failure: saving
  // again writes only what is not stored yet, and reports the failure.
  const std::uint32_t saved = card_->persist->save(*card_->runtime);
  // Under the lock, any change to the container since begin() is this session's.
  version_ = reader::currentVersion(drive_);
  lock_.reset();
  if (saved != 0) {
    error = "the card could not be saved: " + statusMessage(saved);
    return false;
  }
  return true;
}

Result withStoredCard(const std::string& drive, const DeviceIdentity& identity,
                      const std::function<Result(CardChannel&)>& work) {
  std::optional<container::DriveLock> lock;
  std::string error;
  if (!lockDrive(drive, lock, error)) return {Outcome::kFailed, "The card cannot be used: " + error + "."};
  GidsAppletInstaller installer;
  LoadFailure why = LoadFailure::kNone;
  std::optional<LoadedCard> card = loadStoredCard(drive, identity, installer, error, &why);
  if (!card) {
    if (!error.empty()) error[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(error[0])));
    return {why == LoadFailure::kNoCard ? Outcome::kNoCard : Outcome::kFailed, error + "."};
  }
  StoredChannel channel(*card);
  return work(channel);
}

}  // namespace quillon::cardops
