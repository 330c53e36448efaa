#include "desktop/MessageBoxes.h"

namespace quillon::desktop {

QMessageBox::StandardButton ScreenMessageBoxes::show(QWidget* owner, const BoxContent& box) {
  QMessageBox message(box.icon, box.caption, box.text, box.buttons, owner);
  return static_cast<QMessageBox::StandardButton>(message.exec());
}

}  // namespace quillon::desktop
