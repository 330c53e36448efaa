#include "desktop/FieldRules.h"

#include "base/Trace.h"

namespace quillon::desktop {

namespace {

bool isDigit(QChar c) { return c >= u'0' && c <= u'9'; }
bool isUpperHex(QChar c) { return isDigit(c) || (c >= u'A' && c <= u'F'); }

// Keeps the characters `keep` accepts once `map` has turned them, at most
// `limit` of them. The cleaned text is built only when it differs, so that a
// secret field's content is not copied on every keystroke.
template <class Keep, class Map>
FieldCheck clean(const QString& field, int limit, Keep keep, Map map, int& length) {
  FieldCheck check;
  check.changed = field.size() > limit;
  for (QChar c : field) check.changed = check.changed || map(c) != c || !keep(c);
  if (!check.changed) {
    length = static_cast<int>(field.size());
    return check;
  }
  check.text.reserve(limit);
  for (QChar c : field) {
    if (keep(map(c)) && check.text.size() < limit) check.text.append(map(c));
  }
  length = static_cast<int>(check.text.size());
  return check;
}

QChar same(QChar c) { return c; }
QChar upperHex(QChar c) { return c >= u'a' && c <= u'f' ? QChar(c.unicode() - u'a' + u'A') : c; }

}  // namespace

FieldCheck SanitizePinField(const QString& field) {
  int digits = 0;
  FieldCheck check = clean(field, kPinLimit, isDigit, same, digits);
  check.complete = digits >= 4 && digits <= kPinLimit;
  if (check.changed)
    QTRACE(trace::kWarning, "SanitizePinField", "SanitizePinField: non-digit characters removed from PIN field");
  return check;
}

FieldCheck SanitizeAdminKeyField(const QString& field) {
  int digits = 0;
  FieldCheck check = clean(field, kAdminKeyLimit, isUpperHex, upperHex, digits);
  check.complete = digits == kAdminKeyLimit;
  if (check.changed)
    QTRACE(trace::kWarning, "SanitizeAdminKeyField", "SanitizeAdminKeyField: non-hex characters removed or normalised");
  return check;
}

bool serialComplete(const QString& field) { return field.size() == kSerialLimit; }

bool replaceCleaned(QLineEdit& field, const FieldCheck& check) {
  if (!check.changed) return false;
  field.setText(check.text);
  field.setCursorPosition(static_cast<int>(check.text.size()));
  return true;
}

void showCompleteness(QLineEdit& field, bool complete) {
  QPalette palette;  // empty: the field takes the default colours again
  if (!complete) {
    palette = field.palette();
    palette.setColor(QPalette::Base, QColor(255, 200, 200));
  }
  field.setPalette(palette);
}

QValidator::State UpperCaseValidator::validate(QString& input, int&) const {
  input = input.toUpper();
  return Acceptable;
}

ossl::SecureBytes secureCopy(const QString& field) {
  ossl::SecureBytes bytes;
  bytes.reserve(static_cast<std::size_t>(field.size()));
  for (QChar c : field) bytes.push_back(c.unicode() < 0x80 ? static_cast<std::uint8_t>(c.unicode()) : '?');
  return bytes;
}

}  // namespace quillon::desktop
