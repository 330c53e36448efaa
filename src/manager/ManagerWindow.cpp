#include "manager/ManagerWindow.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QtConcurrent/QtConcurrentRun>

#include "base/Trace.h"
#include "desktop/DialogUnits.h"
#include "desktop/DriveList.h"
#include "personalise/FormatCard.h"

namespace quillon::manager {

using namespace desktop;

namespace {

constexpr const char* kFn = "ManagerWindow";
constexpr const char* kStillRunning = "A card operation is still running. Wait until it has ended.";

QPushButton* button(const char* name, const char* words, QWidget* parent) {
  auto* push = new QPushButton(QString::fromUtf8(words), parent);
  push->setObjectName(name);
  return push;
}

QTreeWidget* table(const char* name, const QStringList& columns, QWidget* parent) {
  auto* tree = new QTreeWidget(parent);
  tree->setObjectName(name);
  tree->setRootIsDecorated(false);
  tree->setHeaderLabels(columns);
  tree->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
  return tree;
}

QString bits(unsigned size) { return size == 0 ? QString("-") : QString("%1 bits").arg(size); }

QString readerLine(const CardState& state) {
  const cardops::ReaderStatus& reader = state.reader;
  if (!reader.readerFound) {
    if (reader.error != 0)
      return QString("The smart-card service could not be asked for its readers (%1).")
          .arg(QString::fromStdString(statusMessage(reader.error)));
    return "The Brindleworth virtual reader was not found.";
  }
  return QString("%1: %2").arg(QString::fromStdString(reader.readerName),
                               reader.cardPresent ? "a card is present" : "no card");
}

}  // namespace

ManagerWindow::ManagerWindow(CardSource& source, MessageBoxes& boxes, const platform::SystemPaths& paths,
                             SecretPrompt prompt, QWidget* parent)
    : QWidget(parent), source_(source), boxes_(boxes), paths_(paths), prompt_(std::move(prompt)) {
  setWindowTitle(kTitle);
  if (!prompt_) {
    prompt_ = [this](const SecretRequest& request, QWidget* owner) -> std::unique_ptr<SecretDialog> {
      auto dialog = std::make_unique<SecretDialog>(request, boxes_, owner);
      if (dialog->exec() != QDialog::Accepted) return nullptr;
      return dialog;
    };
  }
  buildControls();
  connect(&source_, &CardSource::changed, this, &ManagerWindow::refresh, Qt::QueuedConnection);
  connect(&reading_, &QFutureWatcher<CardState>::finished, this, [this] {
    display(reading_.result());
    if (std::exchange(readAgain_, false)) refresh();
  });
  connect(&operation_, &QFutureWatcher<cardops::Result>::finished, this, [this] {
    report(operation_.result(), done_);
    updateButtons();
    refresh();
  });
  watcher_ = new MountWatcher(paths_, this);
  connect(watcher_, &MountWatcher::mountsChanged, this, [this] {
    UpdateVolumes(*drive_, paths_);
    updateButtons();
  });
  UpdateVolumes(*drive_, paths_);
  updateButtons();
  refresh();
}

ManagerWindow::~ManagerWindow() {
  reading_.waitForFinished();
  operation_.waitForFinished();
}

void ManagerWindow::buildControls() {
  const DialogUnits units(fontMetrics());
  auto* layout = new QVBoxLayout(this);
  reader_ = new QLabel(this);
  reader_->setObjectName("reader");
  reader_->setWordWrap(true);
  layout->addWidget(reader_);

  auto* card = new QGroupBox("Card", this);
  auto* facts = new QVBoxLayout(card);
  serial_ = new QLabel(card);
  serial_->setObjectName("serial");
  serial_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  pin_ = new QLabel(card);
  pin_->setObjectName("pin");
  phase_ = new QLabel(card);
  phase_->setObjectName("phase");
  phase_->setWordWrap(true);
  containers_ = table("containers", {"Key container", "Default", "Signature key", "Key exchange key"}, card);
  certificates_ = table("certificates", {"Certificate", "Subject", "Issuer", "Valid until", "Key size"}, card);
  for (QWidget* widget : std::initializer_list<QWidget*>{serial_, pin_, phase_, containers_, certificates_})
    facts->addWidget(widget);
  layout->addWidget(card, 1);

  auto* operations = new QHBoxLayout;
  changePin_ = button("changePin", "Change &PIN...", this);
  unblockPin_ = button("unblockPin", "&Unblock PIN...", this);
  changeKey_ = button("changeAdminKey", "Change administrator &key...", this);
  eject_ = button("eject", "&Eject the card", this);
  for (QPushButton* push : {changePin_, unblockPin_, changeKey_, eject_}) operations->addWidget(push);
  operations->addStretch(1);
  layout->addLayout(operations);

  auto* insertRow = new QHBoxLayout;
  auto* driveLabel = new QLabel("&Stick:", this);
  drive_ = new QComboBox(this);
  drive_->setObjectName("drive");
  drive_->setMinimumWidth(units.x(160));
  driveLabel->setBuddy(drive_);
  insert_ = button("insert", "&Insert the card", this);
  insertRow->addWidget(driveLabel);
  insertRow->addWidget(drive_, 1);
  insertRow->addWidget(insert_);
  layout->addLayout(insertRow);

  connect(changePin_, &QPushButton::clicked, this, &ManagerWindow::changePin);
  connect(unblockPin_, &QPushButton::clicked, this, &ManagerWindow::unblockPin);
  connect(changeKey_, &QPushButton::clicked, this, &ManagerWindow::changeAdminKey);
  connect(eject_, &QPushButton::clicked, this, &ManagerWindow::ejectCard);
  connect(insert_, &QPushButton::clicked, this, &ManagerWindow::insertCard);
  setMinimumSize(units.x(360), units.y(220));
}

void ManagerWindow::refresh() {
  QTRACE(trace::kVerbose, kFn, "ManagerWindow: reading the reader and its card");
  if (reading_.isRunning()) {
    readAgain_ = true;
    return;
  }
  reading_.setFuture(QtConcurrent::run([source = &source_] { return source->read(); }));
}

void ManagerWindow::display(const CardState& state) {
  state_ = state;
  reader_->setText(readerLine(state));
  const bool known = state.reader.cardPresent && state.infoRead;
  const cardops::CardInfo& info = state.info;
  serial_->setText(known ? QString("Serial number: %1").arg(QString::fromStdString(info.serial)) : QString());
  if (!state.problem.empty()) serial_->setText(QString::fromStdString(state.problem));
  QString pin;
  if (known && info.pinBlocked)
    pin = "PIN: blocked; unblock it with the administrator key.";
  else if (known && info.pinTriesLeft >= 0)
    pin = QString("PIN: %1 %2 left").arg(info.pinTriesLeft).arg(info.pinTriesLeft == 1 ? "try" : "tries");
  pin_->setText(pin);
  phase_->setText(known && info.initialisationPhase
                      ? "The card is still in its initialisation phase: it has no PIN or administrator key yet."
                      : QString());
  phase_->setVisible(!phase_->text().isEmpty());
  containers_->clear();
  certificates_->clear();
  if (known) {
    for (const cardops::KeyContainer& c : info.containers) {
      if (!c.valid) continue;
      new QTreeWidgetItem(containers_, {QString::fromStdString(c.name), c.isDefault ? "yes" : "", bits(c.signatureBits),
                                        bits(c.keyExchangeBits)});
    }
    for (const cardops::Certificate& c : info.certificates)
      new QTreeWidgetItem(certificates_,
                          {QString::fromStdString(c.file), QString::fromStdString(c.subject),
                           QString::fromStdString(c.issuer), QString::fromStdString(c.notAfter), bits(c.keyBits)});
  }
  updateButtons();
  Q_EMIT refreshed();
}

bool ManagerWindow::busy() const { return operation_.isRunning(); }

void ManagerWindow::updateButtons() {
  const bool idle = !operation_.isRunning();
  const bool card = state_.reader.cardPresent;
  const bool personalised = card && state_.infoRead && !state_.info.initialisationPhase;
  changePin_->setEnabled(idle && personalised && !state_.info.pinBlocked);
  unblockPin_->setEnabled(idle && personalised);
  changeKey_->setEnabled(idle && personalised);
  eject_->setEnabled(idle && card);
  insert_->setEnabled(idle && state_.reader.readerFound && drive_->currentIndex() >= 0);
}

// The operations: secrets asked for and checked in a dialog, then sent on a
// worker thread.

void ManagerWindow::changePin() {
  auto dialog = prompt_({"Change PIN", "Type the card's PIN, then the new PIN (4 to 16 digits) twice.",
                         SecretKind::kPin, SecretKind::kNewPin},
                        this);
  if (!dialog) return;
  QString done = "The PIN was changed.";
  if (dialog->note() != nullptr) done += QString("\n\nNote: ") + dialog->note();
  run([this, old = dialog->current(), next = dialog->next()] { return source_.changePin(old, next); }, done);
}

void ManagerWindow::unblockPin() {
  auto dialog = prompt_({"Unblock PIN",
                         "Type the card's administrator key (48 hexadecimal digits), then a new PIN (4 to 16 digits) "
                         "twice.",
                         SecretKind::kAdminKey, SecretKind::kNewPin},
                        this);
  if (!dialog) return;
  QString done = "The PIN was unblocked and set anew; its tries are full again.";
  if (dialog->note() != nullptr) done += QString("\n\nNote: ") + dialog->note();
  run([this, key = dialog->current(), next = dialog->next()] { return source_.unblockPin(key, next); }, done);
}

void ManagerWindow::changeAdminKey() {
  auto dialog = prompt_({"Change administrator key",
                         "Type the card's administrator key, then the new key (48 hexadecimal digits) twice. Keep the "
                         "new key safe: it is the only way to unblock the PIN.",
                         SecretKind::kAdminKey, SecretKind::kNewAdminKey},
                        this);
  if (!dialog) return;
  run([this, old = dialog->current(), next = dialog->next()] { return source_.changeAdminKey(old, next); },
      "The administrator key was changed; the old key no longer opens the card.");
}

void ManagerWindow::ejectCard() {
  run([this] { return source_.eject(); }, "The reader let go of the card. Nothing was deleted.");
}

void ManagerWindow::insertCard() {
  const std::string drive = drive_->currentData().toByteArray().toStdString();
  if (drive.empty()) return;
  run([this, drive] { return source_.insert(drive); },
      QString("The reader serves the card of %1.").arg(QString::fromStdString(drive)));
}

void ManagerWindow::run(std::function<cardops::Result()> operation, QString done) {
  if (operation_.isRunning()) {
    boxes_.show(this, {kTitle, kStillRunning, QMessageBox::Warning, QMessageBox::Ok});
    return;
  }
  done_ = std::move(done);
  operation_.setFuture(QtConcurrent::run(std::move(operation)));
  updateButtons();
}

void ManagerWindow::report(const cardops::Result& result, const QString& done) {
  QTRACE(trace::kInformation, kFn, "ManagerWindow: operation ended with outcome %d", static_cast<int>(result.outcome));
  switch (result.outcome) {
    case cardops::Outcome::kDone: boxes_.show(this, {kTitle, done, QMessageBox::Information, QMessageBox::Ok}); break;
    case cardops::Outcome::kDeclined: break;
    default:
      boxes_.show(this, {kTitle, QString::fromStdString(result.message), QMessageBox::Critical, QMessageBox::Ok});
  }
  Q_EMIT operationReported(static_cast<int>(result.outcome));
}

void ManagerWindow::closeEvent(QCloseEvent* event) {
  if (operation_.isRunning()) {
    boxes_.show(this, {kTitle, kStillRunning, QMessageBox::Warning, QMessageBox::Ok});
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

}  // namespace quillon::manager
