// The small dialogs that ask for a card's secrets: the current PIN or
// administrator key and a new one typed twice. The fields clean what is typed as
// the wizard's do (digits for a PIN; upper-case hexadecimal for a key) and show
// incomplete fields in light red; OK checks the values with the card's rules
// (warnings included) before the dialog closes.
#pragma once

#include <QDialog>
#include <vector>

#include "base/OpenSsl.h"
#include "desktop/MessageBoxes.h"

class QLineEdit;
class QPushButton;

namespace quillon::manager {

enum class SecretKind { kPin, kNewPin, kAdminKey, kNewAdminKey };

// What one dialog asks for: the first field's kind and the new secret's, which is
// typed twice.
struct SecretRequest {
  QString title;
  QString intro;
  SecretKind current = SecretKind::kPin;
  SecretKind next = SecretKind::kNewPin;
};

class SecretDialog final : public QDialog {
  Q_OBJECT

 public:
  SecretDialog(const SecretRequest& request, desktop::MessageBoxes& boxes, QWidget* parent = nullptr);

  // After accept(): the current secret and the new one, as the card takes them
  // (PIN digits; 24 key bytes). Wiped with the dialog.
  const ossl::SecureBytes& current() const { return current_; }
  const ossl::SecureBytes& next() const { return next_; }
  // The note to show once a new PIN is set, or null.
  const char* note() const { return note_; }

  void accept() override;

 private:
  QLineEdit* addField(const char* name, SecretKind kind);
  void cleaned(QLineEdit* field, SecretKind kind);
  bool checked(QLineEdit* field, SecretKind kind, ossl::SecureBytes& value);

  SecretRequest request_;
  desktop::MessageBoxes& boxes_;
  QLineEdit* currentField_ = nullptr;
  QLineEdit* nextField_ = nullptr;
  QLineEdit* againField_ = nullptr;
  QPushButton* ok_ = nullptr;
  ossl::SecureBytes current_;
  ossl::SecureBytes next_;
  const char* note_ = nullptr;
};

}  // namespace quillon::manager
