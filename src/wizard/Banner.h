// The white band across the top of the wizard: the title in bold at the left and
// our picture at the right, both vertically centred. It draws itself from its
// size, so it follows the font and the screen's scale factor.
#pragma once

#include <QString>
#include <QSvgRenderer>
#include <QWidget>

namespace quillon::wizard {

class Banner final : public QWidget {
 public:
  Banner(const QString& title, const QString& picture, QWidget* parent = nullptr);

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }
  bool hasPicture() const { return picture_.isValid(); }
  const QString& title() const { return title_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QFont titleFont() const;

  QString title_;
  QSvgRenderer picture_;
};

}  // namespace quillon::wizard
