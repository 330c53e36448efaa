#include "wizard/WizardDialog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QSvgRenderer>

#include "base/Status.h"
#include "base/Trace.h"
#include "desktop/BoxedRequestUi.h"
#include "desktop/DialogUnits.h"
#include "desktop/DriveList.h"
#include "desktop/FieldRules.h"
#include "wizard/Banner.h"

// The pictures live in the library, which the linker would otherwise leave out
// of the program; this must stand outside any namespace.
static void loadPictures() { Q_INIT_RESOURCE(wizard); }

namespace quillon::wizard {

using namespace desktop;

namespace {

constexpr const char* kWndProc = "WndProc";
constexpr const char* kManagerProgram = "quillon-manager";

constexpr const char* kStillRunning =
    "A card is still being created. Wait until that has ended before starting another operation on the reader.";
constexpr const char* kCannotClose = "A card is still being created. The wizard cannot be closed until that has ended.";

QLabel* text(const char* words, QWidget* parent) {
  auto* label = new QLabel(QString::fromUtf8(words), parent);
  label->setWordWrap(true);
  return label;
}

QLineEdit* field(const char* name, int limit, QWidget* parent) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  edit->setMaxLength(limit);
  return edit;
}

QPushButton* button(const char* name, const char* words, QWidget* parent) {
  auto* push = new QPushButton(QString::fromUtf8(words), parent);
  push->setObjectName(name);
  return push;
}

}  // namespace

WizardServices WizardServices::system(MessageBoxes& boxes, const platform::SystemPaths& paths) {
  WizardServices services;
  services.paths = paths;
  services.format = [paths = services.paths](const FormatRequest& request) {
    FormatResult result;
    result.status = request.create([&](const char* pin, const std::uint8_t key[24], const char* serial,
                                       const std::string& drive, const DeviceIdentity* identity) {
      return Format(pin, key, serial, drive, identity, paths, nullptr, &result.failedStep);
    });
    return result;
  };
  services.clear = [](const std::string& drive) { return Clear(drive); };
  services.boxes = &boxes;
  services.managerAvailable = [] { return !QStandardPaths::findExecutable(kManagerProgram).isEmpty(); };
  services.launchManager = [] { return QProcess::startDetached(QStandardPaths::findExecutable(kManagerProgram), {}); };
  return services;
}

WizardDialog::WizardDialog(WizardServices services, QWidget* parent) : QDialog(parent), services_(std::move(services)) {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: WM_INITDIALOG");
  loadPictures();
  setWindowTitle(kTitle);
  job_ = new FormatJob(this);
  connect(job_, &FormatJob::finished, this, &WizardDialog::formatEnded);
  timeout_.setSingleShot(true);
  connect(&timeout_, &QTimer::timeout, this, &WizardDialog::formatTimedOut);

  buildControls();
  watcher_ = new MountWatcher(services_.paths, this);
  connect(watcher_, &MountWatcher::mountsChanged, this, &WizardDialog::refreshDrives);
  UpdateVolumes(*drive_, services_.paths);

  pin_->setText(kDefaultPin);
  key_->setText(kDefaultAdminKey);
  PopulateSerialNumber();
  pinComplete_ = keyComplete_ = serialComplete_ = true;
  setIcon();
}

WizardDialog::~WizardDialog() {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: WM_DESTROY");
  setWaiting(false);
}

void WizardDialog::buildControls() {
  const DialogUnits units(fontMetrics());
  auto* outer = new QVBoxLayout(this);
  // Never smaller than the wrapped texts need, whatever the screen allows.
  outer->setSizeConstraint(QLayout::SetMinimumSize);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  banner_ = new Banner(kTitle, ":/wizard/banner.svg", this);
  outer->addWidget(banner_);
  auto* line = new QFrame(this);
  line->setFrameShape(QFrame::HLine);
  line->setFrameShadow(QFrame::Sunken);
  outer->addWidget(line);

  form_ = new QWidget(this);
  auto* grid = new QGridLayout(form_);
  grid->setContentsMargins(units.x(10), units.y(6), units.x(10), units.y(6));
  grid->setHorizontalSpacing(units.x(6));
  grid->setVerticalSpacing(units.y(4));
  grid->setColumnMinimumWidth(0, units.x(60));
  grid->setColumnMinimumWidth(1, units.x(160));
  grid->setColumnMinimumWidth(2, units.x(78));
  grid->setColumnStretch(1, 1);
  outer->addWidget(form_, 1);

  auto* intro = text(
      "This tool initializes a card where the GIDS applet has just been installed. It configures the PIN, the "
      "admin key and installs the file system. This operation is performed once.",
      form_);
  auto* driveLabel = new QLabel("&Drive:", form_);
  drive_ = new QComboBox(form_);
  drive_->setObjectName("drive");
  drive_->setMaxVisibleItems(8);
  clear_ = button("clear", "C&lear the card", form_);
  auto* pinText = text("The PIN must be between 4 and 16 characters long. It can include digits only.", form_);
  auto* pinLabel = new QLabel("&PIN:", form_);
  pin_ = field("pin", kPinLimit, form_);
  auto* keyText = text(
      "The Admin Key is present to unblock the card if the PIN is lost. The Admin Key must be an hexadecimal "
      "string containing 48 characters.",
      form_);
  auto* keyLabel = new QLabel("Admin &Key:", form_);
  key_ = field("adminKey", kAdminKeyLimit, form_);
  key_->setValidator(new UpperCaseValidator(key_));
  auto* serialText =
      text("The serial number is used to identify the card uniquely. It is an hexadecimal string having 32 characters.",
           form_);
  auto* serialLabel = new QLabel("&Serial number:", form_);
  serial_ = field("serial", kSerialLimit, form_);
  serial_->setValidator(new UpperCaseValidator(serial_));
  generate_ = button("generate", "&Generate", form_);
  initialize_ = button("initialize", "&Initialize card", form_);
  initialize_->setDefault(true);
  cancel_ = button("cancel", "Cancel", form_);

  driveLabel->setBuddy(drive_);
  pinLabel->setBuddy(pin_);
  keyLabel->setBuddy(key_);
  serialLabel->setBuddy(serial_);

  grid->addWidget(intro, 0, 0, 1, 3);
  grid->addWidget(driveLabel, 1, 0);
  grid->addWidget(drive_, 1, 1);
  grid->addWidget(clear_, 1, 2);
  grid->addWidget(pinText, 2, 0, 1, 3);
  grid->addWidget(pinLabel, 3, 0);
  grid->addWidget(pin_, 3, 1);
  grid->addWidget(keyText, 4, 0, 1, 3);
  grid->addWidget(keyLabel, 5, 0);
  grid->addWidget(key_, 5, 1, 1, 2);
  grid->addWidget(serialText, 6, 0, 1, 3);
  grid->addWidget(serialLabel, 7, 0);
  grid->addWidget(serial_, 7, 1);
  grid->addWidget(generate_, 7, 2);
  grid->setRowMinimumHeight(8, units.y(12));
  grid->setRowStretch(8, 1);
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(units.x(4));
  buttons->addStretch(1);
  buttons->addWidget(initialize_);
  buttons->addWidget(cancel_);
  grid->addLayout(buttons, 9, 0, 1, 3);

  QWidget* order[] = {drive_, clear_, pin_, key_, serial_, generate_, initialize_, cancel_};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  setMinimumWidth(units.x(340));

  connect(clear_, &QPushButton::clicked, this, &WizardDialog::clearCard);
  connect(generate_, &QPushButton::clicked, this, &WizardDialog::generateSerial);
  connect(initialize_, &QPushButton::clicked, this, &WizardDialog::initializeCard);
  connect(cancel_, &QPushButton::clicked, this, &WizardDialog::reject);
  connect(pin_, &QLineEdit::textChanged, this, &WizardDialog::pinEdited);
  connect(key_, &QLineEdit::textChanged, this, &WizardDialog::keyEdited);
  connect(serial_, &QLineEdit::textChanged, this, &WizardDialog::serialEdited);
}

void WizardDialog::setIcon() {
  QSvgRenderer picture(QStringLiteral(":/wizard/icon.svg"));
  if (!picture.isValid()) {
    QTRACE(trace::kWarning, kWndProc, "WndProc: WM_INITDIALOG: LoadIcon failed 0x%08x", status::E_FAIL);
    return;
  }
  // Drawn here rather than through Qt's SVG icon plugin, which may be missing.
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    picture.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  setWindowIcon(icon);
}

// The fields: cleaned as they change, light red while incomplete.

void WizardDialog::pinEdited() {
  const FieldCheck check = SanitizePinField(pin_->text());
  if (!replaceCleaned(*pin_, check)) markComplete(pin_, pinComplete_, check.complete);
}

void WizardDialog::keyEdited() {
  const FieldCheck check = SanitizeAdminKeyField(key_->text());
  if (!replaceCleaned(*key_, check)) markComplete(key_, keyComplete_, check.complete);
}

void WizardDialog::serialEdited() { markComplete(serial_, serialComplete_, serialComplete(serial_->text())); }

void WizardDialog::markComplete(QLineEdit* edit, bool& flag, bool complete) {
  if (flag == complete) return;
  flag = complete;
  showCompleteness(*edit, complete);
}

void WizardDialog::PopulateSerialNumber() {
  QTRACE(trace::kVerbose, "PopulateSerialNumber", "PopulateSerialNumber");
  std::string serial;
  if (!GenerateSerialNumber(serial)) {
    QTRACE(trace::kError, "PopulateSerialNumber", "PopulateSerialNumber: generation failed");
    box("Failed to generate a random serial number.", QMessageBox::Critical);
    return;
  }
  serial_->setText(QString::fromStdString(serial));
  QTRACE(trace::kInformation, "PopulateSerialNumber", "PopulateSerialNumber: IDC_SERIALNUMBER updated");
}

void WizardDialog::generateSerial() {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: IDC_GENERATE_SERIAL");
  PopulateSerialNumber();
}

void WizardDialog::refreshDrives() { UpdateVolumes(*drive_, services_.paths); }

std::string WizardDialog::selectedDrive() const { return drive_->currentData().toByteArray().toStdString(); }

// Initialize card: the checks here, the creation on the job's thread, the
// outcome when it ends or when the wait times out.

void WizardDialog::initializeCard() {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: IDC_FORMAT");
  if (refuseWhileRunning(kStillRunning)) return;
  FormatCardInput input;
  input.drive = selectedDrive();
  input.pin = secureCopy(pin_->text());
  input.adminKey = secureCopy(key_->text());
  input.serial = serial_->text().toStdString();
  BoxedRequestUi ui(*services_.boxes, this, kTitle);
  FormatOutcome stopped = FormatOutcome::kInvalidInput;
  std::shared_ptr<FormatRequest> request = CheckFormatRequest(input, ui, stopped);
  if (request == nullptr) return;
  if (!job_->start(request, services_.format)) {
    box("Failed to start the initialisation thread.", QMessageBox::Critical);
    return;
  }
  note_ = request->note;
  request_ = std::move(request);
  setWaiting(true);
  timeout_.start(services_.formatTimeout);
}

void WizardDialog::setWaiting(bool waiting) {
  if (waiting_ == waiting) return;
  waiting_ = waiting;
  form_->setEnabled(!waiting);
  if (waiting) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
    raise();
    activateWindow();
  }
}

void WizardDialog::formatTimedOut() {
  const auto ms = static_cast<unsigned>(services_.formatTimeout.count());
  QTRACE(trace::kError, "FormatCard", "FormatCard: worker thread timed out after %u ms", ms);
  setWaiting(false);
  request_.reset();  // the worker keeps its share until it ends
  box("The operation timed out. The virtual reader may be in an inconsistent state.", QMessageBox::Critical);
}

void WizardDialog::formatEnded(FormatResult result) {
  timeout_.stop();
  setWaiting(false);
  request_.reset();
  traceFormatResult(result.status);
  if (result.status != 0)
    MessageBoxWin32(result.status, readerFailureMessage(result.failedStep, result.status));
  else
    congratulate(note_);
  note_ = nullptr;
  Q_EMIT formatReported(result.status);
}

void WizardDialog::congratulate(const char* note) {
  QString text = "Congratulations! Your GIDS card has been successfully initialised.";
  if (note != nullptr) text += QString("\n\nNote: ") + note;
  const bool offerManager = services_.managerAvailable && services_.managerAvailable();
  if (!offerManager) {
    services_.boxes->show(this, {"Success", text, QMessageBox::Information, QMessageBox::Ok});
    return;
  }
  text += "\n\nWould you like to launch the Smart Card manager?";
  if (services_.boxes->show(this, {"Success", text, QMessageBox::Information, QMessageBox::Yes | QMessageBox::No}) ==
      QMessageBox::Yes) {
    QTRACE(trace::kInformation, "FormatCard", "FormatCard: launching %s", kManagerProgram);
    services_.launchManager();
  }
}

// Clear the card: confirmed first, since it deletes the card's keys.

void WizardDialog::clearCard() {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: IDC_CLEAR");
  if (refuseWhileRunning(kStillRunning)) return;
  const std::string drive = selectedDrive();
  if (!drive.empty()) {
    const QString question = QString(
                                 "Clear the card on %1?\n\nThe virtual reader lets go of it and its container "
                                 "is deleted, with the card's keys and certificates. This cannot be undone.")
                                 .arg(QString::fromStdString(drive));
    if (box(question, QMessageBox::Warning, QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) return;
  }
  const ClearResult result = services_.clear(drive);
  if (result.failedStep == ReaderStep::kNone) return;
  if (result.failedStep == ReaderStep::kDelete) {
    MessageBoxWin32(result.status);
    return;
  }
  if (const char* message = readerFailureMessage(result.failedStep, result.status)) box(message, QMessageBox::Critical);
}

// Boxes and closing.

QMessageBox::StandardButton WizardDialog::box(const QString& text, QMessageBox::Icon icon,
                                              QMessageBox::StandardButtons buttons) {
  return services_.boxes->show(this, {kTitle, text, icon, buttons});
}

void WizardDialog::MessageBoxWin32(std::uint32_t status, const char* explanation) {
  QTRACE(trace::kVerbose, "MessageBoxWin32", "MessageBoxWin32: status=0x%08x", status);
  QString text = QString::fromStdString(statusMessage(status));
  if (explanation != nullptr) text = QString(explanation) + "\n\n" + text;
  services_.boxes->show(this, {"Error", text, QMessageBox::Information, QMessageBox::Ok});
}

bool WizardDialog::formatRunning() const { return job_->running(); }

bool WizardDialog::refuseWhileRunning(const char* message) {
  if (!job_->running()) return false;
  box(message, QMessageBox::Warning);
  return true;
}

void WizardDialog::reject() {
  if (refuseWhileRunning(kCannotClose)) return;
  QTRACE(trace::kVerbose, kWndProc, "WndProc: IDCANCEL");
  QDialog::reject();
}

void WizardDialog::closeEvent(QCloseEvent* event) {
  QTRACE(trace::kVerbose, kWndProc, "WndProc: WM_CLOSE");
  if (refuseWhileRunning(kCannotClose)) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void WizardDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

}  // namespace quillon::wizard
