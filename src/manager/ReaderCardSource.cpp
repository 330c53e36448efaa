#include "manager/ReaderCardSource.h"

namespace quillon::manager {

ReaderCardSource::ReaderCardSource(const platform::SystemPaths& paths, QObject* parent)
    : CardSource(parent), paths_(paths) {
  watcher_ = std::make_unique<StatusWatcher>([this] { Q_EMIT changed(); });
}

ReaderCardSource::~ReaderCardSource() { watcher_.reset(); }

CardState ReaderCardSource::read() {
  CardState state;
  state.reader = cardops::readReaderStatus();
  if (!state.reader.cardPresent) return state;
  const cardops::Result result =
      cardops::withReaderCard([&](cardops::CardChannel& card) { return cardops::readCardInfo(card, state.info); });
  state.infoRead = result.outcome == cardops::Outcome::kDone;
  if (!state.infoRead) state.problem = result.message;
  return state;
}

cardops::Result ReaderCardSource::changePin(const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin) {
  return cardops::withReaderCard([&](cardops::CardChannel& card) { return cardops::changePin(card, oldPin, newPin); });
}

cardops::Result ReaderCardSource::unblockPin(const ossl::SecureBytes& adminKey, const ossl::SecureBytes& newPin) {
  return cardops::withReaderCard(
      [&](cardops::CardChannel& card) { return cardops::unblockPin(card, adminKey, newPin); });
}

cardops::Result ReaderCardSource::changeAdminKey(const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey) {
  return cardops::withReaderCard(
      [&](cardops::CardChannel& card) { return cardops::changeAdminKey(card, oldKey, newKey); });
}

cardops::Result ReaderCardSource::eject() { return cardops::ejectReaderCard(); }

cardops::Result ReaderCardSource::insert(const std::string& drive) { return cardops::insertCard(drive, paths_); }

}  // namespace quillon::manager
