// The wizard's message boxes behind one call, so that tests can read and answer
// them: a box is its caption, text, icon and buttons, and showing it returns the
// button the user pressed.
#pragma once

#include <QMessageBox>
#include <QString>

namespace quillon::desktop {

struct BoxContent {
  QString caption;
  QString text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QMessageBox::StandardButtons buttons = QMessageBox::Ok;
};

class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows the box modally over `owner` and returns the button pressed.
  virtual QMessageBox::StandardButton show(QWidget* owner, const BoxContent& box) = 0;
};

// Real boxes, on the screen.
class ScreenMessageBoxes final : public MessageBoxes {
 public:
  QMessageBox::StandardButton show(QWidget* owner, const BoxContent& box) override;
};

}  // namespace quillon::desktop
