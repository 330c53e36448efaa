// The wizard's dialog as the tests meet it: over a fixture USB stick, with its
// message boxes recorded and answered from a script, and the card creation and
// Clear replaced by recorders.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/ScriptedBoxes.h"
#include "support/SysfsTree.h"
#include "wizard/WizardDialog.h"

namespace quillon::test {

class WizardWorld {
 public:
  // What the fake card creation was given.
  struct Created {
    std::string pin;
    std::vector<std::uint8_t> adminKey;
    std::string serial;
    std::string drive;
  };

  // With a stick sdb mounted at <root>/media/STICK, or no removable drive at all.
  explicit WizardWorld(bool withStick = true);

  std::unique_ptr<wizard::WizardDialog> makeDialog();
  wizard::WizardServices services();

  // Clicks "Initialize card" and, when a creation started, waits for its outcome.
  void initialize(wizard::WizardDialog& dialog);
  std::vector<Created> created() const;

  SysfsTree tree;
  std::filesystem::path drive;  // the stick's mount point
  ScriptedBoxes boxes;
  wizard::FormatResult formatResult;      // what the fake creation answers
  std::function<void()> whileFormatting;  // run on the worker thread, before answering
  ClearResult clearResult;                // what the fake Clear answers
  std::vector<std::string> cleared;       // the drives Clear was given
  bool managerInstalled = false;
  int managerLaunches = 0;

 private:
  mutable std::mutex mutex_;
  std::vector<Created> created_;
};

template <class Widget>
Widget* control(QWidget& dialog, const char* name) {
  return dialog.findChild<Widget*>(name);
}

}  // namespace quillon::test
