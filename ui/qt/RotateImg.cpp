#include "ui/qt/RotateImg.h"

#include <QPainter>

#include "ui/qt/Skins.h"

namespace stow::ui::qt {

SRotateImg::SRotateImg(QWidget* parent) : QWidget(parent) {
  connect(&timer_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
  timer_.start(kPeriodMs);
}

bool SRotateImg::SetPointerSecond(const QString& name) {
  if (!HasSkin(name)) return false;
  QPixmap pixmap = SkinPixmap(name, QSize(kSquare, kSquare));
  image_ = pixmap.toImage();
  imageName_ = name;
  update();
  return true;
}

void SRotateImg::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  angle_ = (angle_ + kStepDegrees) % 360;
  if (image_.isNull()) return;
  painter.setRenderHint(QPainter::SmoothPixmapTransform);
  const QPointF centre = QRectF(rect()).center();
  painter.translate(centre);
  painter.rotate(angle_ - 90);
  painter.translate(-centre);
  const QRectF square(centre.x() - kSquare / 2.0, centre.y() - kSquare / 2.0, kSquare, kSquare);
  painter.drawImage(square, image_, QRectF(0, 0, kSquare, kSquare));
}

}  // namespace stow::ui::qt
