// The smart-card manager's window: the virtual reader and its card as they are
// now (serial number, PIN tries, key containers, certificates), updated as soon
// as a card comes or goes, and the operations on it: change or unblock the PIN,
// change the administrator key, eject the card, insert a stick's card. The card
// is read and changed on worker threads; the window stays responsive.
#pragma once

#include <QFutureWatcher>
#include <QWidget>
#include <functional>
#include <memory>

#include "desktop/MessageBoxes.h"
#include "manager/CardSource.h"
#include "manager/SecretDialog.h"
#include "platform/SystemPaths.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTreeWidget;

namespace quillon::desktop {
class MountWatcher;
}

namespace quillon::manager {

// Asks the user for secrets: shows the dialog and returns it accepted, or null.
using SecretPrompt = std::function<std::unique_ptr<SecretDialog>(const SecretRequest& request, QWidget* owner)>;

class ManagerWindow final : public QWidget {
  Q_OBJECT

 public:
  static constexpr const char* kTitle = "Quillon Smart Card Manager";

  // `source` and `boxes` outlive the window. Without `prompt`, the secret dialogs
  // are shown on the screen.
  ManagerWindow(CardSource& source, desktop::MessageBoxes& boxes, const platform::SystemPaths& paths,
                SecretPrompt prompt = nullptr, QWidget* parent = nullptr);
  ~ManagerWindow() override;

  // What the window shows now.
  const CardState& state() const { return state_; }
  bool busy() const;

 public Q_SLOTS:
  void refresh();
  void changePin();
  void unblockPin();
  void changeAdminKey();
  void ejectCard();
  void insertCard();

 Q_SIGNALS:
  // The card's state was read and shown.
  void refreshed();
  // An operation ended and its outcome was shown.
  void operationReported(int outcome);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildControls();
  void display(const CardState& state);
  void updateButtons();
  // Runs `operation` on a worker thread, then shows its outcome (`done` on success).
  void run(std::function<cardops::Result()> operation, QString done);
  void report(const cardops::Result& result, const QString& done);

  CardSource& source_;
  desktop::MessageBoxes& boxes_;
  platform::SystemPaths paths_;
  SecretPrompt prompt_;
  CardState state_;

  QLabel* reader_ = nullptr;
  QLabel* serial_ = nullptr;
  QLabel* pin_ = nullptr;
  QLabel* phase_ = nullptr;
  QTreeWidget* containers_ = nullptr;
  QTreeWidget* certificates_ = nullptr;
  QPushButton* changePin_ = nullptr;
  QPushButton* unblockPin_ = nullptr;
  QPushButton* changeKey_ = nullptr;
  QPushButton* eject_ = nullptr;
  QComboBox* drive_ = nullptr;
  QPushButton* insert_ = nullptr;
  desktop::MountWatcher* watcher_ = nullptr;

  QFutureWatcher<CardState> reading_;
  bool readAgain_ = false;  // a change came while reading
  QFutureWatcher<cardops::Result> operation_;
  QString done_;
};

}  // namespace quillon::manager
