// Dialog units: lengths measured in the dialog's font, a quarter of its average
// character width across and an eighth of its line height down, so that a
// layout drawn in them grows with the font and the screen's scale factor.
#pragma once

#include <QFontMetrics>

namespace quillon::desktop {

class DialogUnits {
 public:
  explicit DialogUnits(const QFontMetrics& metrics);

  int x(int units) const { return units * charWidth_ / 4; }
  int y(int units) const { return units * lineHeight_ / 8; }

 private:
  int charWidth_;
  int lineHeight_;
};

}  // namespace quillon::desktop
