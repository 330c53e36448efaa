#include "wizard/Banner.h"

#include <QPainter>

#include "base/Trace.h"
#include "desktop/DialogUnits.h"

namespace quillon::wizard {

using namespace desktop;

namespace {
constexpr int kHeightUnits = 40;       // the band's height, in dialog units
constexpr int kMarginUnits = 6;        // left of the title and right of the picture
constexpr double kPictureShare = 0.8;  // of the band's height
}  // namespace

Banner::Banner(const QString& title, const QString& picture, QWidget* parent)
    : QWidget(parent), title_(title), picture_(picture) {
  setAutoFillBackground(false);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  if (picture_.isValid()) {
    const QSize size = picture_.defaultSize();
    QTRACE(trace::kInformation, "WndProc", "WM_INITDIALOG: banner bitmap %dx%d", size.width(), size.height());
  } else {
    QTRACE(trace::kWarning, "WndProc", "WM_INITDIALOG: LoadBitmap(IDB_BANNER) failed 0x%08x", 0x80004005u);
  }
}

QSize Banner::sizeHint() const {
  const DialogUnits units(fontMetrics());
  return {units.x(340), units.y(kHeightUnits)};
}

QFont Banner::titleFont() const {
  QFont font = this->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.3);
  return font;
}

void Banner::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRect area = rect();
  painter.fillRect(area, Qt::white);
  const DialogUnits units(fontMetrics());
  const int margin = units.x(kMarginUnits);
  int textRight = area.right() - margin;
  if (picture_.isValid()) {
    QSizeF size = picture_.defaultSize();
    const double height = area.height() * kPictureShare;
    size *= height / size.height();
    const QRectF target(area.right() - margin - size.width(), (area.height() - size.height()) / 2, size.width(),
                        size.height());
    picture_.render(&painter, target);
    textRight = static_cast<int>(target.left()) - margin;
  }
  painter.setFont(titleFont());
  painter.setPen(Qt::black);
  const QRect text(area.left() + margin, area.top(), std::max(textRight - area.left() - margin, 0), area.height());
  painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title_);
}

}  // namespace quillon::wizard
