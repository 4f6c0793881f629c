#include "ui/qt/ButtonEx.h"

#include <QPainter>
#include <QStyleOptionButton>
#include <algorithm>
#include <array>

#include "ui/qt/Scale.h"
#include "ui/qt/Skins.h"

namespace stow::ui::qt {
namespace {

constexpr std::array<const char*, 5> kModeNames = {"freeDraw", "vertIconText", "vertTextIcon",
                                                   "horzIconText", "horzTextIcon"};

QString PairText(QPoint p) { return QStringLiteral("%1,%2").arg(p.x()).arg(p.y()); }

}  // namespace

bool ParsePair(const QString& text, QPoint& out) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 2) return false;
  bool okX = false;
  bool okY = false;
  const int x = parts[0].trimmed().toInt(&okX);
  const int y = parts[1].trimmed().toInt(&okY);
  if (!okX || !okY) return false;
  out = QPoint(x, y);
  return true;
}

QSize ButtonExContentSize(DrawMode mode, QSize icon, QSize text, QPoint iconPos, QPoint textPos,
                          int sepSize) {
  switch (mode) {
    case DrawMode::kFreeDraw:
      return {std::max(textPos.x() + text.width(), iconPos.x() + icon.width()),
              std::max(textPos.y() + text.height(), iconPos.y() + icon.height())};
    case DrawMode::kVertIconText:
    case DrawMode::kVertTextIcon:
      return {std::max(text.width(), icon.width()), text.height() + sepSize + icon.height()};
    case DrawMode::kHorzIconText:
    case DrawMode::kHorzTextIcon:
      return {text.width() + sepSize + icon.width(), std::max(text.height(), icon.height())};
  }
  return {};
}

ButtonExPlacement PlaceButtonEx(DrawMode mode, const QRect& box, QSize icon, QSize text,
                                QPoint iconPos, QPoint textPos, int sepSize) {
  const QSize content = ButtonExContentSize(mode, icon, text, iconPos, textPos, sepSize);
  const int left = box.left();
  const int top = box.top();
  const int w = box.width();
  const int h = box.height();
  ButtonExPlacement place;
  switch (mode) {
    case DrawMode::kFreeDraw:
      place.icon = {left + iconPos.x(), top + iconPos.y()};
      place.text = {left + textPos.x(), top + textPos.y()};
      break;
    case DrawMode::kVertIconText:
      place.icon = {left + (w - icon.width()) / 2, top + (h - content.height()) / 2};
      place.text = {left + (w - text.width()) / 2, place.icon.y() + icon.height() + sepSize};
      break;
    case DrawMode::kVertTextIcon:
      place.text = {left + (w - text.width()) / 2, top + (h - content.height()) / 2};
      place.icon = {left + (w - icon.width()) / 2, place.text.y() + text.height() + sepSize};
      break;
    case DrawMode::kHorzIconText:
      place.icon = {left + (w - content.width()) / 2, top + (h - icon.height()) / 2};
      place.text = {place.icon.x() + icon.width() + sepSize, top + (h - text.height()) / 2};
      break;
    case DrawMode::kHorzTextIcon:
      place.text = {left + (w - content.width()) / 2, top + (h - text.height()) / 2};
      place.icon = {place.text.x() + text.width() + sepSize, top + (h - icon.height()) / 2};
      break;
  }
  return place;
}

SButtonEx::SButtonEx(QWidget* parent) : QPushButton(parent) { setAttribute(Qt::WA_Hover); }

void SButtonEx::SetSkin(const QString& skin) {
  skin_ = skin;
  update();
}

void SButtonEx::SetIcon(const QString& icon) {
  icon_ = icon;
  updateGeometry();
  update();
}

void SButtonEx::SetIconIndex(int index) {
  iconIndex_ = index;
  update();
}

QString SButtonEx::DrawModeName() const {
  return QLatin1StringView(kModeNames[static_cast<size_t>(mode_)]);
}

bool SButtonEx::SetDrawMode(const QString& name) {
  for (size_t i = 0; i < kModeNames.size(); ++i) {
    if (name == QLatin1StringView(kModeNames[i])) {
      mode_ = static_cast<DrawMode>(i);
      updateGeometry();
      update();
      return true;
    }
  }
  return false;
}

QString SButtonEx::IconPosText() const { return PairText(iconPos_); }
void SButtonEx::SetIconPos(const QString& pos) { ParsePair(pos, iconPos_); }
QString SButtonEx::TextPosText() const { return PairText(textPos_); }
void SButtonEx::SetTextPos(const QString& pos) { ParsePair(pos, textPos_); }
QString SButtonEx::PushOffsetText() const { return PairText(pushOffset_); }
void SButtonEx::SetPushOffset(const QString& pos) { ParsePair(pos, pushOffset_); }

void SButtonEx::SetSepSize(int size) {
  sepSize_ = size;
  updateGeometry();
}

QSize SButtonEx::IconSize() const {
  if (!HasSkin(icon_)) return {0, 0};
  const QSize dp = SkinSize(icon_);
  return {Dp(this, dp.width()), Dp(this, dp.height())};
}

int SButtonEx::IconState() const {
  if (iconIndex_ == -1) return -1;
  return ButtonState(isEnabled(), isDown() || isChecked(), hover_);
}

QSize SButtonEx::TextSize() const {
  const QFontMetrics metrics(font());
  return {metrics.horizontalAdvance(text()), metrics.height()};
}

QSize SButtonEx::sizeHint() const {
  const QMargins pad = contentsMargins();
  const QSize content =
      ButtonExContentSize(mode_, IconSize(), TextSize(), iconPos_, textPos_, sepSize_);
  return {content.width() + pad.left() + pad.right(), content.height() + pad.top() + pad.bottom()};
}

ButtonExPlacement SButtonEx::Placement() const {
  QRect box = rect();
  if (isDown() || isChecked()) box.translate(pushOffset_);
  box = box.marginsRemoved(contentsMargins());
  return PlaceButtonEx(mode_, box, IconSize(), TextSize(), iconPos_, textPos_, sepSize_);
}

QColor SButtonEx::CaptionColor() const {
  if ((isDown() || isChecked()) && textColorPush_.isValid()) return textColorPush_;
  if (hover_ && textColorHover_.isValid()) return textColorHover_;
  if (textColor_.isValid()) return textColor_;
  return palette().color(QPalette::ButtonText);
}

void SButtonEx::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const int state = ButtonState(isEnabled(), isDown() || isChecked(), hover_);
  if (HasSkin(skin_)) {
    DrawSkin(painter, skin_, rect(), state);
  } else {
    QStyleOptionButton option;
    initStyleOption(&option);
    option.text.clear();
    option.icon = {};
    style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
  }
  const ButtonExPlacement place = Placement();
  if (HasSkin(icon_)) {
    DrawSkin(painter, icon_, QRectF(place.icon, IconSize()), IconState());
  }
  painter.setFont(font());
  painter.setPen(CaptionColor());
  const QSize textSize = TextSize();
  painter.drawText(QRect(place.text, textSize), Qt::AlignLeft | Qt::AlignVCenter, text());
}

void SButtonEx::enterEvent(QEnterEvent* event) {
  hover_ = true;
  update();
  QPushButton::enterEvent(event);
}

void SButtonEx::leaveEvent(QEvent* event) {
  hover_ = false;
  update();
  QPushButton::leaveEvent(event);
}

}  // namespace stow::ui::qt
