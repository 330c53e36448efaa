// What the dialog's input fields accept while the user types: the PIN keeps its
// digits, the administrator key its hexadecimal digits in upper case, and the
// key and serial fields upper-case whatever is typed or pasted. Also the one copy
// of a secret field's text that the wizard makes.
#pragma once

#include <QLineEdit>
#include <QString>
#include <QValidator>

#include "base/OpenSsl.h"

namespace quillon::desktop {

inline constexpr int kPinLimit = 16;
inline constexpr int kAdminKeyLimit = 48;
inline constexpr int kSerialLimit = 32;

struct FieldCheck {
  bool changed = false;  // `text` must replace the field's content
  QString text;          // the cleaned content; empty unless changed
  bool complete = false;
};

// Digits only, at most 16; complete with 4 to 16.
FieldCheck SanitizePinField(const QString& field);
// 0-9 and A-F (a-f upper-cased), at most 48; complete with exactly 48.
FieldCheck SanitizeAdminKeyField(const QString& field);
// Exactly 32 characters; nothing is cleaned.
bool serialComplete(const QString& field);

// When the check cleaned the field's text: puts the cleaned text in, with the
// caret at its end, and returns true (the field's change signal then comes again).
bool replaceCleaned(QLineEdit& field, const FieldCheck& check);

// Incomplete fields are drawn light red, complete ones in the default colours.
void showCompleteness(QLineEdit& field, bool complete);

// Upper-cases what is typed or pasted into a line edit.
class UpperCaseValidator final : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int& pos) const override;
};

// The field's text as bytes, in wiped storage. Characters outside ASCII become
// '?', which no check accepts.
ossl::SecureBytes secureCopy(const QString& field);

}  // namespace quillon::desktop
