// The message box and the result dialog: button sets and their ids, the one
// line break, the icon and the text beside it, and the scale.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>

#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/ResultDialog.h"
#include "ui/qt/Scale.h"

namespace stow::ui::qt {
namespace {

TEST(MessageRules, WrapsLongTextsOnceAtTheLastBlankWithinTheFirst47Characters) {
  const std::string exactly47(47, 'a');
  EXPECT_EQ(WrapMessageText(exactly47), exactly47);
  std::string short47 = "a " + std::string(45, 'b');  // 47 characters with a blank
  EXPECT_EQ(WrapMessageText(short47), short47);

  // 60 characters with blanks at 10, 40 and 50: the break replaces the one at 40.
  std::string sixty(60, 'x');
  sixty[10] = ' ';
  sixty[40] = ' ';
  sixty[50] = ' ';
  std::string expected = sixty;
  expected[40] = '\n';
  EXPECT_EQ(WrapMessageText(sixty), expected);

  // A blank at 46 still counts; one at 47 does not.
  std::string at46(50, 'x');
  at46[46] = ' ';
  EXPECT_EQ(WrapMessageText(at46).find('\n'), 46u);
  std::string at47(50, 'x');
  at47[47] = ' ';
  EXPECT_EQ(WrapMessageText(at47), at47);
}

TEST(MessageRules, WrapCountsCharactersNotBytes) {
  // 30 Chinese characters (90 bytes) stay short.
  std::string chinese;
  for (int i = 0; i < 15; ++i) chinese += "任务 ";
  EXPECT_EQ(WrapMessageText(chinese.substr(0, 44)), chinese.substr(0, 44));
  // 50 characters, a blank at character 20 behind multi-byte ones.
  std::string mixed;
  for (int i = 0; i < 20; ++i) mixed += "盘";
  mixed += ' ';
  mixed += std::string(29, 'y');
  const std::string wrapped = WrapMessageText(mixed);
  EXPECT_EQ(wrapped.find('\n'), 60u);  // 20 characters of 3 bytes
}

TEST(MessageRules, ButtonSetsComeInTheirOrderWithTheStandardIds) {
  auto ids = [](int type) {
    std::vector<int> out;
    for (const auto& b : MessageBoxButtons(type)) out.push_back(b.result);
    return out;
  };
  EXPECT_EQ(ids(kMbOk), (std::vector<int>{kIdOk}));
  EXPECT_EQ(ids(kMbOkCancel), (std::vector<int>{kIdCancel, kIdOk}));
  EXPECT_EQ(ids(kMbAbortRetryIgnore), (std::vector<int>{kIdAbort, kIdRetry, kIdIgnore}));
  EXPECT_EQ(ids(kMbYesNoCancel), (std::vector<int>{kIdYes, kIdNo, kIdCancel}));
  EXPECT_EQ(ids(kMbYesNo), (std::vector<int>{kIdYes, kIdNo}));
  EXPECT_EQ(ids(kMbRetryCancel), (std::vector<int>{kIdRetry, kIdCancel}));
  EXPECT_TRUE(ids(6).empty());
  // The icon bits do not change the set.
  EXPECT_EQ(ids(kMbOk | kMbIconExclamation), (std::vector<int>{kIdOk}));
  EXPECT_EQ(MessageBoxIcon(kMbOk | kMbIconExclamation), "skin_icon_exclamation");
  EXPECT_EQ(MessageBoxIcon(kMbIconHand), "skin_icon_hand");
  EXPECT_EQ(MessageBoxIcon(0x50), "");
}

TEST(MessageRules, DpiTableGivesFiveScalesAndOtherwise100) {
  EXPECT_EQ(ScaleForDpi(96), 100);
  EXPECT_EQ(ScaleForDpi(120), 125);
  EXPECT_EQ(ScaleForDpi(144), 150);
  EXPECT_EQ(ScaleForDpi(168), 175);
  EXPECT_EQ(ScaleForDpi(192), 200);
  EXPECT_EQ(ScaleForDpi(110), 100);
  EXPECT_EQ(ScaleForDpi(0), 100);
}

// Clicks the button at `position` of a shown box and returns how the box ended.
int ClickButton(int type, int position) {
  SMessageBoxEx box(QStringLiteral("Question?"), QStringLiteral("Tips"), type, 100);
  box.show();
  QAbstractButton* button = box.Button(position);
  if (button == nullptr) return -1;
  button->click();
  return box.result();
}

TEST(MessageBox, OkCancelShowsCancelLeftOfOkAndEachEndsWithItsId) {
  SMessageBoxEx box(QStringLiteral("Question?"), QStringLiteral("Tips"), kMbOkCancel, 100);
  box.show();
  QAbstractButton* first = box.Button(0);
  QAbstractButton* second = box.Button(1);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(box.Button(2), nullptr);
  EXPECT_EQ(first->objectName(), "button1st");
  EXPECT_EQ(first->text(), "Cancel");
  EXPECT_EQ(second->text(), "OK");
  EXPECT_LT(first->geometry().left(), second->geometry().left());
  EXPECT_TRUE(first->isVisible());

  EXPECT_EQ(ClickButton(kMbOkCancel, 1), kIdOk);
  EXPECT_EQ(ClickButton(kMbOkCancel, 0), kIdCancel);
  EXPECT_EQ(ClickButton(kMbYesNoCancel, 1), kIdNo);
  EXPECT_EQ(ClickButton(kMbAbortRetryIgnore, 2), kIdIgnore);
  EXPECT_EQ(ClickButton(kMbRetryCancel, 0), kIdRetry);

  // The caption's close button and Escape answer Cancel.
  SMessageBoxEx closed(QStringLiteral("Question?"), {}, kMbOkCancel, 100);
  closed.show();
  auto* close = closed.findChild<QAbstractButton*>(QStringLiteral("btn_close_box"));
  ASSERT_NE(close, nullptr);
  close->click();
  EXPECT_EQ(closed.result(), kIdCancel);
  auto* title = closed.findChild<QLabel*>(QStringLiteral("msgtitle"));
  EXPECT_EQ(title->text(), "prompt");
}

TEST(MessageBox, ExclamationShowsItsImageAndPutsTheTextRightOfIt) {
  SMessageBoxEx box(QStringLiteral("Please select a source volume."), QStringLiteral("Tips"),
                    kMbOk | kMbIconExclamation, 100);
  box.show();
  auto* icon = box.findChild<QLabel*>(QStringLiteral("skin_icon_exclamation"));
  auto* text = box.findChild<QLabel*>(QStringLiteral("msgtext"));
  ASSERT_NE(icon, nullptr);
  EXPECT_TRUE(icon->isVisible());
  EXPECT_FALSE(box.findChild<QLabel*>(QStringLiteral("skin_icon_hand"))->isVisible());
  EXPECT_FALSE(box.findChild<QLabel*>(QStringLiteral("msgicon"))->isVisible());
  EXPECT_EQ(text->geometry().left(), icon->geometry().right() + 1 + 5);

  SMessageBoxEx plain(QStringLiteral("Please select a source volume."), QStringLiteral("Tips"),
                      kMbOk, 100);
  plain.show();
  for (const char* name :
       {"skin_icon_exclamation", "skin_icon_hand", "skin_icon_question", "skin_icon_information"}) {
    EXPECT_FALSE(plain.findChild<QLabel*>(QLatin1StringView(name))->isVisible()) << name;
  }
}

TEST(MessageBox, GrowsForLongTextsAndScalesAsAWhole) {
  SMessageBoxEx small(QStringLiteral("Short."), QStringLiteral("Tips"), kMbOk, 100);
  EXPECT_EQ(small.size(), QSize(SMessageBoxEx::kMinWidth, SMessageBoxEx::kMinHeight));

  QString longText;
  for (int i = 0; i < 20; ++i) longText += QStringLiteral("many words in a long notice ");
  SMessageBoxEx tall(longText, QStringLiteral("Tips"), kMbOk, 100);
  EXPECT_GT(tall.height(), SMessageBoxEx::kMinHeight);
  auto* text = tall.findChild<QLabel*>(QStringLiteral("msgtext"));
  EXPECT_LE(text->width(), SMessageBoxEx::kTextMaxWidth);
  EXPECT_LE(text->geometry().bottom(), tall.height() - SMessageBoxEx::kButtonBarHeight);

  // The shown text carries the one line break of a long message.
  const QString sixty =
      QStringLiteral("The destination volume must be different from the source one.");
  SMessageBoxEx wrapped(sixty, QStringLiteral("Tips"), kMbOk, 100);
  const QString shown = wrapped.findChild<QLabel*>(QStringLiteral("msgtext"))->text();
  EXPECT_EQ(shown.count(QLatin1Char('\n')), 1);
  EXPECT_EQ(shown.indexOf(QLatin1Char('\n')), sixty.lastIndexOf(QLatin1Char(' '), 46));

  SMessageBoxEx at150(QStringLiteral("Short."), QStringLiteral("Tips"), kMbOkCancel, 150);
  EXPECT_EQ(at150.size(),
            QSize(SMessageBoxEx::kMinWidth * 3 / 2, SMessageBoxEx::kMinHeight * 3 / 2));
  SMessageBoxEx at100(QStringLiteral("Short."), QStringLiteral("Tips"), kMbOkCancel, 100);
  EXPECT_EQ(at150.Button(1)->width(), at100.Button(1)->width() * 3 / 2);
  // A change of the screen's DPI rescales an open box by the table.
  ApplyDpi(&at100, 192, 192);
  EXPECT_EQ(at100.size(), QSize(SMessageBoxEx::kMinWidth * 2, SMessageBoxEx::kMinHeight * 2));
  ApplyDpi(&at100, 100, 100);
  EXPECT_EQ(at100.size(), QSize(SMessageBoxEx::kMinWidth, SMessageBoxEx::kMinHeight));
}

TEST(MessageBox, TestAnswerReplacesTheBoxAndSeesTheWrappedText) {
  QString seen;
  SetMessageBoxAnswerForTesting([&](const QString& text, const QString&, int type) {
    seen = text;
    return type == kMbOkCancel ? kIdCancel : kIdOk;
  });
  const QString text(QStringLiteral("Task is running. Do you want to cancel it? Really, truly?"));
  EXPECT_EQ(ShowMessageBox(text, QStringLiteral("Tips"), kMbOkCancel, 100), kIdCancel);
  EXPECT_EQ(seen.count(QLatin1Char('\n')), 1);
  EXPECT_EQ(ShowMessageBox(QStringLiteral("@string/programRunning"), {}, kMbOk, 100), kIdOk);
  EXPECT_EQ(seen, "Program is running.");
  SetMessageBoxAnswerForTesting({});
}

TEST(ResultDialog, FailureShowsTheErrorPictureAndBothTextsAndEndsWith1) {
  SMyMessageBox box(QStringLiteral("@string/sorryTry"), QStringLiteral("@string/taskFailed"), 100,
                    QString::fromLatin1(kErrorImageSkin));
  box.show();
  auto* image = box.findChild<QLabel*>(QStringLiteral("imgchoose"));
  EXPECT_EQ(image->property("skin").toString(), "skin.error.tip");
  EXPECT_FALSE(image->pixmap().isNull());
  EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("first_msgtext"))->text(),
            "Task failed to run!!!");
  EXPECT_EQ(box.findChild<QLabel*>(QStringLiteral("second_msgtext"))->text(),
            "Sorry, please try again!");
  EXPECT_GE(box.width(), SMyMessageBox::kMinWidth);
  EXPECT_GE(box.height(), SMyMessageBox::kMinHeight);
  box.findChild<QAbstractButton*>(QStringLiteral("button1th"))->click();
  EXPECT_EQ(box.result(), kIdOk);
}

}  // namespace
}  // namespace stow::ui::qt
