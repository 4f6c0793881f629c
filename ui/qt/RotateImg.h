// SRotateImg: an image that turns about its centre. A 10 ms timer repaints it;
// every paint, whatever caused it, turns it 5 degrees further and draws the
// image's top-left 128 x 128 pixels into a 128 x 128 square centred in the
// control, rotated by (angle - 90) degrees.
#pragma once

#include <QImage>
#include <QString>
#include <QTimer>
#include <QWidget>

namespace stow::ui::qt {

class SRotateImg : public QWidget {
  Q_OBJECT
  Q_PROPERTY(QString pointerSecond READ PointerSecond WRITE SetPointerSecond)

 public:
  explicit SRotateImg(QWidget* parent = nullptr);

  QString PointerSecond() const { return imageName_; }
  // Loads the skin image `name`; false, and the previous image kept, when it
  // cannot be loaded.
  bool SetPointerSecond(const QString& name);

  int Angle() const { return angle_; }
  const QImage& Image() const { return image_; }

  static constexpr int kSquare = 128;
  static constexpr int kStepDegrees = 5;
  static constexpr int kPeriodMs = 10;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString imageName_;
  QImage image_;
  int angle_ = 0;
  QTimer timer_;
};

}  // namespace stow::ui::qt
