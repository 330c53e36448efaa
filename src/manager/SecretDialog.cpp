#include "manager/SecretDialog.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "cardops/SecretChecks.h"
#include "desktop/BoxedRequestUi.h"
#include "desktop/FieldRules.h"

namespace quillon::manager {

using namespace desktop;

namespace {

bool isPin(SecretKind kind) { return kind == SecretKind::kPin || kind == SecretKind::kNewPin; }

const char* label(SecretKind kind, bool again) {
  switch (kind) {
    case SecretKind::kPin: return "Current &PIN:";
    case SecretKind::kNewPin: return again ? "New PIN a&gain:" : "&New PIN:";
    case SecretKind::kAdminKey: return "Current administrator &key:";
    case SecretKind::kNewAdminKey: return again ? "New key a&gain:" : "&New administrator key:";
  }
  return "";
}

}  // namespace

SecretDialog::SecretDialog(const SecretRequest& request, MessageBoxes& boxes, QWidget* parent)
    : QDialog(parent), request_(request), boxes_(boxes) {
  setWindowTitle(request.title);
  auto* form = new QFormLayout(this);
  auto* intro = new QLabel(request.intro, this);
  intro->setWordWrap(true);
  form->addRow(intro);
  currentField_ = addField("current", request.current);
  nextField_ = addField("next", request.next);
  againField_ = addField("again", request.next);
  form->addRow(label(request.current, false), currentField_);
  form->addRow(label(request.next, false), nextField_);
  form->addRow(label(request.next, true), againField_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  ok_ = buttons->button(QDialogButtonBox::Ok);
  ok_->setObjectName("ok");
  form->addRow(buttons);
  connect(buttons, &QDialogButtonBox::accepted, this, &SecretDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &SecretDialog::reject);
  setMinimumWidth(fontMetrics().averageCharWidth() * (isPin(request.next) ? 50 : 80));
}

QLineEdit* SecretDialog::addField(const char* name, SecretKind kind) {
  auto* field = new QLineEdit(this);
  field->setObjectName(name);
  field->setEchoMode(QLineEdit::Password);
  field->setMaxLength(isPin(kind) ? kPinLimit : kAdminKeyLimit);
  if (!isPin(kind)) field->setValidator(new UpperCaseValidator(field));
  connect(field, &QLineEdit::textChanged, this, [this, field, kind] { cleaned(field, kind); });
  cleaned(field, kind);
  return field;
}

void SecretDialog::cleaned(QLineEdit* field, SecretKind kind) {
  const FieldCheck check = isPin(kind) ? SanitizePinField(field->text()) : SanitizeAdminKeyField(field->text());
  if (!replaceCleaned(*field, check)) showCompleteness(*field, check.complete);
}

bool SecretDialog::checked(QLineEdit* field, SecretKind kind, ossl::SecureBytes& value) {
  BoxedRequestUi ui(boxes_, this, request_.title);
  ossl::SecureBytes text = secureCopy(field->text());
  cardops::Outcome outcome = cardops::Outcome::kInvalidInput;
  switch (kind) {
    case SecretKind::kPin:
      outcome = cardops::checkPin(text, ui);
      value = std::move(text);
      break;
    case SecretKind::kNewPin:
      outcome = cardops::checkNewPin(text, ui, &note_);
      value = std::move(text);
      break;
    case SecretKind::kAdminKey:
    case SecretKind::kNewAdminKey:
      outcome = cardops::parseAdminKey(text, kind == SecretKind::kNewAdminKey, ui, value);
      break;
  }
  return outcome == cardops::Outcome::kDone;
}

void SecretDialog::accept() {
  if (nextField_->text() != againField_->text()) {
    boxes_.show(this, {request_.title,
                       isPin(request_.next) ? "The new PINs do not match." : "The new administrator keys do not match.",
                       QMessageBox::Critical, QMessageBox::Ok});
    againField_->setFocus();
    return;
  }
  if (!checked(currentField_, request_.current, current_)) {
    currentField_->setFocus();
    return;
  }
  if (!checked(nextField_, request_.next, next_)) {
    nextField_->setFocus();
    return;
  }
  QDialog::accept();
}

}  // namespace quillon::manager
