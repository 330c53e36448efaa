#include "WizardKit.h"

#include <QSignalSpy>
#include <QTest>

namespace quillon::test {

WizardWorld::WizardWorld(bool withStick) : drive(tree.root() / "media" / "STICK") {
  std::filesystem::create_directories(drive);
  if (!withStick) return;
  tree.addUsbStick(SysfsTree::Stick{});
  tree.mount(8, 17, drive.string());
}

wizard::WizardServices WizardWorld::services() {
  wizard::WizardServices services;
  services.paths = tree.paths();
  services.boxes = &boxes;
  services.format = [this](const FormatRequest& request) {
    if (whileFormatting) whileFormatting();
    std::lock_guard lock(mutex_);
    created_.push_back({request.pin.empty() ? std::string() : std::string(ossl::chars(request.pin)),
                        std::vector<std::uint8_t>(request.adminKey.begin(), request.adminKey.end()), request.serial,
                        request.drive});
    return formatResult;
  };
  services.clear = [this](const std::string& target) {
    cleared.push_back(target);
    return clearResult;
  };
  services.managerAvailable = [this] { return managerInstalled; };
  services.launchManager = [this] { return ++managerLaunches > 0; };
  return services;
}

std::unique_ptr<wizard::WizardDialog> WizardWorld::makeDialog() {
  return std::make_unique<wizard::WizardDialog>(services());
}

void WizardWorld::initialize(wizard::WizardDialog& dialog) {
  QSignalSpy reported(&dialog, &wizard::WizardDialog::formatReported);
  QTest::mouseClick(control<QPushButton>(dialog, "initialize"), Qt::LeftButton);
  if (dialog.formatRunning() || dialog.waiting()) reported.wait(10000);
}

std::vector<WizardWorld::Created> WizardWorld::created() const {
  std::lock_guard lock(mutex_);
  return created_;
}

}  // namespace quillon::test
