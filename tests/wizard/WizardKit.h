// The wizard's dialog over a fixture USB stick, its message boxes answered from a
// script, the card creation and Clear replaced by recorders.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/ScriptedBoxes.h"
#include "support/SysfsTree.h"
#include "support/TestData.h"
#include "wizard/WizardDialog.h"

namespace quillon::test {

template <class Widget>
Widget* control(QWidget& dialog, const char* name) {
  return dialog.findChild<Widget*>(name);
}

// Draws `window` as shown; saved as PNG to $QUILLON_SCREENSHOT when it names a
// file (scripts/screenshots.sh makes the documentation's pictures so).
inline bool drawPicture(QWidget& window) {
  window.show();
  for (int round = 0; round < 5; ++round) QCoreApplication::processEvents();  // laid out and polished
  const QPixmap picture = window.grab();
  const QString file = qEnvironmentVariable("QUILLON_SCREENSHOT");
  return !picture.isNull() && (file.isEmpty() || picture.save(file, "PNG"));
}

struct WizardWorld {
  // With a stick sdb mounted at <root>/media/STICK, or no removable drive at all.
  explicit WizardWorld(bool withStick = true) : drive(tree.root() / "media" / "STICK") {
    std::filesystem::create_directories(drive);
    if (!withStick) return;
    tree.addUsbStick(SysfsTree::Stick{});
    tree.mount(8, 17, drive.string());
  }

  wizard::WizardServices services() {
    wizard::WizardServices services;
    services.paths = tree.paths();
    services.boxes = &boxes;
    services.format = [this](const FormatRequest& request) {
      if (whileFormatting) whileFormatting();
      created.push_back((request.pin.empty() ? std::string() : std::string(ossl::chars(request.pin))) + "|" +
                        toHex(Bytes(request.adminKey.begin(), request.adminKey.end())) + "|" + request.serial + "|" +
                        request.drive);
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
  std::unique_ptr<wizard::WizardDialog> makeDialog() { return std::make_unique<wizard::WizardDialog>(services()); }

  // Clicks "Initialize card" and, when a creation started, waits for its outcome.
  void initialize(wizard::WizardDialog& dialog) {
    QSignalSpy reported(&dialog, &wizard::WizardDialog::formatReported);
    QTest::mouseClick(control<QPushButton>(dialog, "initialize"), Qt::LeftButton);
    if (dialog.formatRunning() || dialog.waiting()) reported.wait(10000);
  }

  SysfsTree tree;
  std::filesystem::path drive;  // the stick's mount point
  ScriptedBoxes boxes;
  wizard::FormatResult formatResult;      // what the fake creation answers
  std::function<void()> whileFormatting;  // run on the worker thread, before answering
  ClearResult clearResult;                // what the fake Clear answers
  std::vector<std::string> cleared;       // the drives Clear was given
  bool managerInstalled = false;
  int managerLaunches = 0;
  std::vector<std::string> created;  // "pin|key|serial|drive" of each creation, read once it ended
};

}  // namespace quillon::test
