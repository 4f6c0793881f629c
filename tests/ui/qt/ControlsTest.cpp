// The painted controls: SButtonEx's arrangements, size and push shift,
// SIconButton's offsets, SRotateImg's turning.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QPixmap>

#include "ui/qt/ButtonEx.h"
#include "ui/qt/IconButton.h"
#include "ui/qt/RotateImg.h"

namespace stow::ui::qt {
namespace {

TEST(ButtonEx, HorizontalIconAndTextAskForTextWidthPlusIconPlusGapPlusPadding) {
  SButtonEx button;
  button.setText(QStringLiteral("Start"));
  button.SetIcon(QStringLiteral("skin_icon_start"));  // 18 x 18
  button.setContentsMargins(4, 3, 6, 2);
  const int textWidth = QFontMetrics(button.font()).horizontalAdvance(QStringLiteral("Start"));
  EXPECT_EQ(button.IconSize(), QSize(18, 18));
  EXPECT_EQ(button.sizeHint().width(), textWidth + 5 + 18 + 4 + 6);

  // The rule with a 16 x 16 icon: text width + 21.
  EXPECT_EQ(ButtonExContentSize(DrawMode::kHorzIconText, {16, 16}, {40, 14}, {}, {}, 5),
            QSize(61, 16));
  EXPECT_EQ(ButtonExContentSize(DrawMode::kVertTextIcon, {16, 16}, {40, 14}, {}, {}, 5),
            QSize(40, 35));
  EXPECT_EQ(ButtonExContentSize(DrawMode::kFreeDraw, {16, 16}, {40, 14}, {2, 30}, {20, 1}, 5),
            QSize(60, 46));
}

TEST(ButtonEx, PlacesIconAndCaptionByArrangement) {
  const QRect box(0, 0, 100, 40);
  auto icon = PlaceButtonEx(DrawMode::kHorzIconText, box, {16, 16}, {40, 14}, {}, {}, 5);
  EXPECT_EQ(icon.icon, QPoint(19, 12));  // (100 - 61) / 2, (40 - 16) / 2
  EXPECT_EQ(icon.text, QPoint(40, 13));
  auto text = PlaceButtonEx(DrawMode::kHorzTextIcon, box, {16, 16}, {40, 14}, {}, {}, 5);
  EXPECT_EQ(text.text, QPoint(19, 13));
  EXPECT_EQ(text.icon, QPoint(64, 12));
  auto vert =
      PlaceButtonEx(DrawMode::kVertIconText, QRect(0, 0, 60, 60), {16, 16}, {40, 14}, {}, {}, 5);
  EXPECT_EQ(vert.icon, QPoint(22, 12));  // (60 - 35) / 2 = 12
  EXPECT_EQ(vert.text, QPoint(10, 33));
  auto free = PlaceButtonEx(DrawMode::kFreeDraw, QRect(3, 4, 60, 60), {16, 16}, {40, 14}, {1, 2},
                            {7, 8}, 5);
  EXPECT_EQ(free.icon, QPoint(4, 6));
  EXPECT_EQ(free.text, QPoint(10, 12));
}

TEST(ButtonEx, PushingShiftsTheContentByThePushOffsetAndUnknownModesAreRefused) {
  SButtonEx button;
  button.setText(QStringLiteral("Start"));
  button.SetIcon(QStringLiteral("skin_icon_start"));
  button.resize(130, 40);
  const ButtonExPlacement up = button.Placement();
  EXPECT_EQ(button.IconState(), 0);
  button.setDown(true);
  const ButtonExPlacement down = button.Placement();
  EXPECT_EQ(down.icon - up.icon, QPoint(2, 2));
  EXPECT_EQ(down.text - up.text, QPoint(2, 2));
  EXPECT_EQ(button.IconState(), 2);
  button.setDown(false);
  button.setEnabled(false);
  EXPECT_EQ(button.IconState(), 3);
  button.SetIconIndex(-1);
  EXPECT_EQ(button.IconState(), -1);

  EXPECT_TRUE(button.SetDrawMode(QStringLiteral("vertTextIcon")));
  EXPECT_FALSE(button.SetDrawMode(QStringLiteral("diagonal")));
  EXPECT_EQ(button.DrawModeName(), "vertTextIcon");
  // A form sets the attributes by name.
  EXPECT_TRUE(button.setProperty("pushOffset", QStringLiteral("3,1")));
  EXPECT_EQ(button.PushOffsetText(), "3,1");
  button.SetPushOffset(QStringLiteral("bad"));
  EXPECT_EQ(button.PushOffsetText(), "3,1");
}

TEST(IconButton, AutomaticOffsetsCentreTheIconAndPutTheCaptionBehindIt) {
  SIconButton button;
  button.SetSkin(QStringLiteral("skin.btn.normal"));
  button.SetIconSkin(QStringLiteral("skin_icon_start"));  // 18 high
  button.resize(120, 28);
  EXPECT_EQ(button.IconRect(), QRect(10, 5, 18, 18));  // icon-y (28-18)/2, icon-x twice that
  EXPECT_EQ(button.CaptionRect().left(), 28);
  // Fixed once: a later height does not move them.
  button.resize(120, 40);
  EXPECT_EQ(button.IconRect().topLeft(), QPoint(10, 5));

  SIconButton given;
  given.SetIconSkin(QStringLiteral("skin_icon_start"));
  given.SetIconX(QStringLiteral("19dp"));
  given.SetIconY(QStringLiteral("4"));
  given.SetTextX(QStringLiteral("50"));
  given.SetTextY(QStringLiteral("3"));
  given.resize(120, 28);
  EXPECT_EQ(given.IconRect().topLeft(), QPoint(19, 4));
  EXPECT_EQ(given.CaptionRect(), QRect(50, 3, 70, 28));
  EXPECT_EQ(SIconButton::LeadingInt(QStringLiteral("x"), -1), -1);
}

TEST(IconButton, DrawsNothingButItsCaptionWithoutABackgroundSkin) {
  SIconButton button;
  button.SetIconSkin(QStringLiteral("skin_icon_hand"));
  button.resize(40, 40);
  button.setAttribute(Qt::WA_TranslucentBackground);
  QPixmap pixmap(40, 40);
  pixmap.fill(Qt::transparent);
  button.render(&pixmap, {}, {}, QWidget::RenderFlags());
  const QImage image = pixmap.toImage();
  EXPECT_EQ(qAlpha(image.pixel(20, 20)), 0);
}

TEST(RotateImg, EveryPaintTurnsFiveDegreesAndABadImageKeepsThePreviousOne) {
  SRotateImg image;
  image.resize(200, 200);
  EXPECT_TRUE(image.SetPointerSecond(QStringLiteral("skin_pointer")));
  EXPECT_FALSE(image.SetPointerSecond(QStringLiteral("no_such_skin")));
  EXPECT_EQ(image.PointerSecond(), "skin_pointer");
  EXPECT_EQ(image.Image().size(), QSize(128, 128));
  const int before = image.Angle();
  image.grab();
  image.grab();
  EXPECT_EQ(image.Angle(), before + 10);
}

}  // namespace
}  // namespace stow::ui::qt
