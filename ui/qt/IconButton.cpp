#include "ui/qt/IconButton.h"

#include <QPainter>
#include <QRegularExpression>

#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"

namespace stow::ui::qt {

SIconButton::SIconButton(QWidget* parent) : QPushButton(parent) { setAttribute(Qt::WA_Hover); }

int SIconButton::LeadingInt(const QString& text, int fallback) {
  static const QRegularExpression kLeading(QStringLiteral("^\\s*(-?\\d+)"));
  const QRegularExpressionMatch match = kLeading.match(text);
  return match.hasMatch() ? match.captured(1).toInt() : fallback;
}

void SIconButton::SetSkin(const QString& skin) {
  skin_ = skin;
  update();
}
void SIconButton::SetIconSkin(const QString& skin) {
  iconSkin_ = skin;
  update();
}
void SIconButton::SetIconFrame(int frame) {
  iconFrame_ = frame;
  update();
}
void SIconButton::SetIconX(const QString& value) { iconX_ = LeadingInt(value, -1); }
void SIconButton::SetIconY(const QString& value) { iconY_ = LeadingInt(value, -1); }
void SIconButton::SetTextX(const QString& value) { textX_ = LeadingInt(value, -1); }
void SIconButton::SetTextY(const QString& value) { textY_ = LeadingInt(value, -1); }

QSize SIconButton::IconSizePx() const {
  const QSize dp = SkinSize(iconSkin_);
  return {Dp(this, dp.width()), Dp(this, dp.height())};
}

QRect SIconButton::IconRect() {
  if (!HasSkin(iconSkin_)) return {};
  const QSize size = IconSizePx();
  if (iconY_ < 0) iconY_ = (height() - size.height()) / 2;
  if (iconX_ < 0) iconX_ = 2 * iconY_;
  return {QPoint(iconX_, iconY_), size};
}

QRect SIconButton::CaptionRect() {
  QRect caption = rect();
  if (HasSkin(iconSkin_)) {
    const QRect icon = IconRect();
    caption.setLeft(caption.left() + (textX_ > 0 ? textX_ : icon.right() + 1));
    if (textY_ > 0) caption.translate(0, textY_);
  }
  return caption;
}

void SIconButton::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int state = ButtonState(isEnabled(), isDown() || isChecked(), hover_);
  if (HasSkin(skin_)) {
    DrawSkin(painter, skin_, rect(), state);
    if (HasSkin(iconSkin_)) {
      if (iconFrame_ >= 0) {
        DrawSkin(painter, iconSkin_, IconRect(), iconFrame_, "frame");
      } else {
        DrawSkin(painter, iconSkin_, IconRect(), state);
      }
    }
  }
  if (text().isEmpty()) return;
  painter.setFont(font());
  painter.setPen(textColor_.isValid() ? textColor_ : palette().color(QPalette::ButtonText));
  const Qt::Alignment align =
      HasSkin(iconSkin_) ? (Qt::AlignLeft | Qt::AlignVCenter) : Qt::AlignCenter;
  painter.drawText(CaptionRect(), static_cast<int>(align), text());
}

void SIconButton::enterEvent(QEnterEvent* event) {
  hover_ = true;
  update();
  QPushButton::enterEvent(event);
}

void SIconButton::leaveEvent(QEvent* event) {
  hover_ = false;
  update();
  QPushButton::leaveEvent(event);
}

}  // namespace stow::ui::qt
