// A card request's errors and questions as message boxes over a window, each
// captioned with the window's title: errors with the error icon and OK,
// questions with the warning icon and Yes and No.
#pragma once

#include <QString>
#include <QWidget>

#include "desktop/MessageBoxes.h"
#include "personalise/FormatCard.h"

namespace quillon::desktop {

class BoxedRequestUi final : public FormatCardUi {
 public:
  BoxedRequestUi(MessageBoxes& boxes, QWidget* owner, QString caption)
      : boxes_(boxes), owner_(owner), caption_(std::move(caption)) {}

  void showError(const char* message) override {
    boxes_.show(owner_, {caption_, QString::fromUtf8(message), QMessageBox::Critical, QMessageBox::Ok});
  }
  bool askYesNo(const char* question) override {
    return boxes_.show(owner_, {caption_, QString::fromUtf8(question), QMessageBox::Warning,
                                QMessageBox::Yes | QMessageBox::No}) == QMessageBox::Yes;
  }

 private:
  MessageBoxes& boxes_;
  QWidget* owner_;
  QString caption_;
};

}  // namespace quillon::desktop
