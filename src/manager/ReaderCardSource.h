// The manager's card source in the program: the virtual reader through PC/SC,
// with a StatusWatcher that reports cards coming and going.
#pragma once

#include <memory>

#include "manager/CardSource.h"
#include "manager/StatusWatcher.h"
#include "platform/SystemPaths.h"

namespace quillon::manager {

class ReaderCardSource final : public CardSource {
 public:
  explicit ReaderCardSource(const platform::SystemPaths& paths, QObject* parent = nullptr);
  ~ReaderCardSource() override;

  CardState read() override;
  cardops::Result changePin(const ossl::SecureBytes& oldPin, const ossl::SecureBytes& newPin) override;
  cardops::Result unblockPin(const ossl::SecureBytes& adminKey, const ossl::SecureBytes& newPin) override;
  cardops::Result changeAdminKey(const ossl::SecureBytes& oldKey, const ossl::SecureBytes& newKey) override;
  cardops::Result eject() override;
  cardops::Result insert(const std::string& drive) override;

 private:
  platform::SystemPaths paths_;
  std::unique_ptr<StatusWatcher> watcher_;  // last member: stopped first
};

}  // namespace quillon::manager
