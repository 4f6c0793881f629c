// SButtonEx: a push button that lays out an icon skin and its caption in one of
// five arrangements (the Start, Cancel, Choose and Make-PE buttons). Its layout
// attributes are properties that the forms set by name:
//   skin        background skin, drawn by button state (else the style sheet's)
//   icon        icon skin, at the window's scale
//   iconIndex   -1: the icon is drawn whole; else its state follows the button's
//   drawMode    "freeDraw", "vertIconText", "vertTextIcon", "horzIconText"
//               (default), "horzTextIcon"; any other text is refused
//   iconPos, textPos   "x,y": the offsets of icon and caption ("freeDraw" only)
//   pushOffset  "x,y" (default 2,2): the content's shift while pushed or checked
//   sepSize     gap between icon and caption (default 5)
//   textColor, textColorHover, textColorPush   caption colours by state
// The padding is the widget's contents margins.
#pragma once

#include <QColor>
#include <QPoint>
#include <QPushButton>
#include <QRect>
#include <QSize>
#include <QString>

namespace stow::ui::qt {

enum class DrawMode { kFreeDraw = 0, kVertIconText, kVertTextIcon, kHorzIconText, kHorzTextIcon };

// Where icon and caption go inside a content box, by the arrangement rules.
struct ButtonExPlacement {
  QPoint icon;
  QPoint text;  // top-left of the caption
};

// The content's size without padding for an icon of `icon` and a caption of `text`.
QSize ButtonExContentSize(DrawMode mode, QSize icon, QSize text, QPoint iconPos, QPoint textPos,
                          int sepSize);
// Places icon and caption in `box` (the client rectangle less the padding,
// already shifted when pushed).
ButtonExPlacement PlaceButtonEx(DrawMode mode, const QRect& box, QSize icon, QSize text,
                                QPoint iconPos, QPoint textPos, int sepSize);

class SButtonEx : public QPushButton {
  Q_OBJECT
  Q_PROPERTY(QString skin READ Skin WRITE SetSkin)
  Q_PROPERTY(QString icon READ Icon WRITE SetIcon)
  Q_PROPERTY(int iconIndex READ IconIndex WRITE SetIconIndex)
  Q_PROPERTY(QString drawMode READ DrawModeName WRITE SetDrawMode)
  Q_PROPERTY(QString iconPos READ IconPosText WRITE SetIconPos)
  Q_PROPERTY(QString textPos READ TextPosText WRITE SetTextPos)
  Q_PROPERTY(QString pushOffset READ PushOffsetText WRITE SetPushOffset)
  Q_PROPERTY(int sepSize READ SepSize WRITE SetSepSize)
  Q_PROPERTY(QColor textColor MEMBER textColor_)
  Q_PROPERTY(QColor textColorHover MEMBER textColorHover_)
  Q_PROPERTY(QColor textColorPush MEMBER textColorPush_)

 public:
  explicit SButtonEx(QWidget* parent = nullptr);

  QString Skin() const { return skin_; }
  void SetSkin(const QString& skin);
  QString Icon() const { return icon_; }
  void SetIcon(const QString& icon);
  int IconIndex() const { return iconIndex_; }
  void SetIconIndex(int index);
  DrawMode Mode() const { return mode_; }
  QString DrawModeName() const;
  // False, and the arrangement unchanged, for an unknown name.
  bool SetDrawMode(const QString& name);
  QString IconPosText() const;
  void SetIconPos(const QString& pos);
  QString TextPosText() const;
  void SetTextPos(const QString& pos);
  QString PushOffsetText() const;
  void SetPushOffset(const QString& pos);
  int SepSize() const { return sepSize_; }
  void SetSepSize(int size);

  // The icon's size in pixels at the window's scale (0x0 without an icon).
  QSize IconSize() const;
  // The state the icon is drawn with: -1 when iconIndex is -1, else by button state.
  int IconState() const;
  // Where icon and caption are drawn now.
  ButtonExPlacement Placement() const;

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  QSize TextSize() const;
  QColor CaptionColor() const;

  QString skin_;
  QString icon_;
  int iconIndex_ = 0;
  DrawMode mode_ = DrawMode::kHorzIconText;
  QPoint iconPos_;
  QPoint textPos_;
  QPoint pushOffset_{2, 2};
  int sepSize_ = 5;
  bool hover_ = false;
  QColor textColor_;
  QColor textColorHover_;
  QColor textColorPush_;
};

// "x,y" as two integers; false for anything else.
bool ParsePair(const QString& text, QPoint& out);

}  // namespace stow::ui::qt
