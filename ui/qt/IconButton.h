// SIconButton: an image button (a background skin drawn by button state) with
// an icon skin and explicit offsets of icon and caption: the tabs of the main
// window and its caption buttons. The offsets "icon-x", "icon-y", "text-x" and
// "text-y" are read as plain integers ("19dp" is 19) and are not scaled; a
// negative icon offset is computed once, at the first paint, from the height:
// icon-y := (height - icon height) / 2, then icon-x := 2 * icon-y.
#pragma once

#include <QPushButton>
#include <QRect>
#include <QString>

namespace stow::ui::qt {

class SIconButton : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(QString skin READ Skin WRITE SetSkin)
  Q_PROPERTY(QString iconSkin READ IconSkin WRITE SetIconSkin)
  Q_PROPERTY(int iconFrame READ IconFrame WRITE SetIconFrame)
  Q_PROPERTY(QString iconX READ IconXText WRITE SetIconX)
  Q_PROPERTY(QString iconY READ IconYText WRITE SetIconY)
  Q_PROPERTY(QString textX READ TextXText WRITE SetTextX)
  Q_PROPERTY(QString textY READ TextYText WRITE SetTextY)
  Q_PROPERTY(QColor textColor MEMBER textColor_)

 public:
  explicit SIconButton(QWidget* parent = nullptr);

  QString Skin() const { return skin_; }
  void SetSkin(const QString& skin);
  QString IconSkin() const { return iconSkin_; }
  void SetIconSkin(const QString& skin);
  // The frame of a strip icon skin ("skin.page.icons"); -1: the whole skin.
  int IconFrame() const { return iconFrame_; }
  void SetIconFrame(int frame);
  QString IconXText() const { return QString::number(iconX_); }
  void SetIconX(const QString& value);
  QString IconYText() const { return QString::number(iconY_); }
  void SetIconY(const QString& value);
  QString TextXText() const { return QString::number(textX_); }
  void SetTextX(const QString& value);
  QString TextYText() const { return QString::number(textY_); }
  void SetTextY(const QString& value);

  // The icon's rectangle, and the caption's, as the next paint uses them; the
  // automatic offsets are fixed by the first call.
  QRect IconRect();
  QRect CaptionRect();

  // The leading integer of `text` ("19dp" -> 19); `fallback` when there is none.
  static int LeadingInt(const QString& text, int fallback);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QSize IconSizePx() const;

  QString skin_;
  QString iconSkin_;
  int iconFrame_ = -1;
  int iconX_ = -1;
  int iconY_ = -1;
  int textX_ = -1;
  int textY_ = -1;
  bool hover_ = false;
  QColor textColor_;
};

}  // namespace stow::ui::qt
