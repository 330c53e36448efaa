// The wizard's one dialog: a drive, the PIN, the administrator key and the serial
// number, "Initialize card" to create the card through the virtual reader and
// "Clear the card" to take it away. Everything it needs beyond the screen comes
// in WizardServices, so that tests can stand in for the reader, the card
// creation and the user's answers.
#pragma once

#include <QDialog>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "desktop/MessageBoxes.h"
#include "personalise/FormatCard.h"
#include "personalise/ReaderControl.h"
#include "platform/SystemPaths.h"
#include "wizard/FormatJob.h"

class QComboBox;
class QLineEdit;
class QPushButton;

namespace quillon::desktop {
class MountWatcher;
}

namespace quillon::wizard {

using desktop::BoxContent;
using desktop::MessageBoxes;

class Banner;

struct WizardServices {
  platform::SystemPaths paths;
  Formatter format;  // runs on the worker thread
  std::function<ClearResult(const std::string& drive)> clear;
  MessageBoxes* boxes = nullptr;  // not owned
  std::chrono::milliseconds formatTimeout{30000};
  std::function<bool()> managerAvailable;  // the smart-card manager is installed
  std::function<bool()> launchManager;     // starts it, detached

  // The real reader, card creation and manager, with `boxes` on the screen.
  static WizardServices system(MessageBoxes& boxes,
                               const platform::SystemPaths& paths = platform::SystemPaths::fromEnvironment());
};

class WizardDialog final : public QDialog {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Quillon GIDS Card Configuration Wizard";

  explicit WizardDialog(WizardServices services, QWidget* parent = nullptr);
  ~WizardDialog() override;

  // A card creation runs (also after its wait timed out).
  bool formatRunning() const;
  // The dialog waits for the card creation: disabled, with the wait cursor.
  bool waiting() const { return waiting_; }

 public Q_SLOTS:
  void initializeCard();
  void clearCard();
  void generateSerial();
  void refreshDrives();
  void reject() override;

 Q_SIGNALS:
  // A card creation ended and its outcome has been shown.
  void formatReported(quint32 status);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  void buildControls();
  void setIcon();
  void pinEdited();
  void keyEdited();
  void serialEdited();
  void markComplete(QLineEdit* field, bool& flag, bool complete);
  void PopulateSerialNumber();

  void formatEnded(FormatResult result);
  void formatTimedOut();
  void setWaiting(bool waiting);
  bool refuseWhileRunning(const char* message);
  std::string selectedDrive() const;

  QMessageBox::StandardButton box(const QString& text, QMessageBox::Icon icon,
                                  QMessageBox::StandardButtons buttons = QMessageBox::Ok);
  void MessageBoxWin32(std::uint32_t status, const char* explanation = nullptr);
  void congratulate(const char* note);

  WizardServices services_;
  Banner* banner_ = nullptr;
  QWidget* form_ = nullptr;  // every control; disabled while the dialog waits
  QComboBox* drive_ = nullptr;
  QPushButton* clear_ = nullptr;
  QLineEdit* pin_ = nullptr;
  QLineEdit* key_ = nullptr;
  QLineEdit* serial_ = nullptr;
  QPushButton* generate_ = nullptr;
  QPushButton* initialize_ = nullptr;
  QPushButton* cancel_ = nullptr;
  desktop::MountWatcher* watcher_ = nullptr;

  bool pinComplete_ = true;
  bool keyComplete_ = true;
  bool serialComplete_ = true;
  bool centred_ = false;

  FormatJob* job_ = nullptr;
  QTimer timeout_;
  bool waiting_ = false;
  std::shared_ptr<const FormatRequest> request_;  // the dialog's share, until the wait ends
  const char* note_ = nullptr;                    // the request's note for the success box
};

}  // namespace quillon::wizard
