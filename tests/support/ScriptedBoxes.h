// The desktop programs' message boxes as the tests answer them: every box shown is
// recorded and answered from a queue of buttons. When the queue is empty, a box
// with nothing but OK gets OK and any other gets `otherwise`; a test that leaves
// `otherwise` at NoButton fails on such a box, and on an answer that is not among
// the box's buttons.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>
#include <QTest>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "desktop/MessageBoxes.h"

namespace quillon::test {

class ScriptedBoxes final : public desktop::MessageBoxes {
 public:
  QMessageBox::StandardButton show(QWidget*, const desktop::BoxContent& box) override {
    shown.push_back(box);
    if (answers.empty()) {
      if (box.buttons == QMessageBox::Ok) return QMessageBox::Ok;
      if (otherwise == QMessageBox::NoButton) fail("no answer scripted for \"" + box.text.toStdString() + "\"");
      return otherwise;
    }
    const QMessageBox::StandardButton button = answers.front();
    answers.pop_front();
    if (!box.buttons.testFlag(button))
      fail("the scripted answer is not a button of \"" + box.text.toStdString() + "\"");
    return button;
  }

  // The boxes shown since the last call, oldest first.
  std::vector<desktop::BoxContent> takeShown() { return std::exchange(shown, {}); }
  QStringList texts() const {
    QStringList list;
    for (const desktop::BoxContent& box : shown) list << box.text;
    return list;
  }

  std::vector<desktop::BoxContent> shown;
  std::deque<QMessageBox::StandardButton> answers;  // taken in order
  QMessageBox::StandardButton otherwise = QMessageBox::NoButton;

 private:
  // Fails the running test, whether Google Test or Qt Test runs it.
  static void fail(const std::string& message) {
    if (::testing::UnitTest::GetInstance()->current_test_info() != nullptr)
      ADD_FAILURE() << message;
    else
      QTest::qFail(message.c_str(), __FILE__, __LINE__);
  }
};

// The boxes, one a line, for failure messages.
inline std::string describe(const std::vector<desktop::BoxContent>& boxes) {
  std::string text;
  for (const auto& box : boxes) text += "[" + box.caption.toStdString() + "] " + box.text.toStdString() + "\n";
  return text.empty() ? "(no box)" : text;
}

}  // namespace quillon::test
