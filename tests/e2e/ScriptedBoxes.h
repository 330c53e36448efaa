// The wizard's message boxes as the end-to-end test answers them: every box
// shown is recorded, and each is answered from a queue of buttons. A box with
// nothing but OK needs no answer; any other box without one, or an answer that
// is not among the box's buttons, fails the test.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "desktop/MessageBoxes.h"

namespace quillon::test {

class ScriptedBoxes final : public desktop::MessageBoxes {
 public:
  void answer(QMessageBox::StandardButton button) { answers_.push_back(button); }
  bool allAnswered() const { return answers_.empty(); }

  // The boxes shown since the last call, oldest first.
  std::vector<desktop::BoxContent> takeShown() { return std::exchange(shown_, {}); }

  QMessageBox::StandardButton show(QWidget*, const desktop::BoxContent& box) override {
    shown_.push_back(box);
    if (answers_.empty()) {
      if (box.buttons == QMessageBox::Ok) return QMessageBox::Ok;
      ADD_FAILURE() << "no answer scripted for the box \"" << box.text.toStdString() << "\"";
      return QMessageBox::NoButton;
    }
    const QMessageBox::StandardButton button = answers_.front();
    answers_.pop_front();
    EXPECT_TRUE(box.buttons.testFlag(button))
        << "the scripted answer is not a button of \"" << box.text.toStdString() << "\"";
    return button;
  }

 private:
  std::deque<QMessageBox::StandardButton> answers_;
  std::vector<desktop::BoxContent> shown_;
};

// The boxes, one a line, for failure messages.
inline std::string describe(const std::vector<desktop::BoxContent>& boxes) {
  std::string text;
  for (const auto& box : boxes) text += "[" + box.caption.toStdString() + "] " + box.text.toStdString() + "\n";
  return text.empty() ? "(no box)" : text;
}

}  // namespace quillon::test
