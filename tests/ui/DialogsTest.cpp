// The message box's button sets, icons and line break, and the result dialogs' texts.
#include "ui/framework/Dialogs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace stow::ui {
namespace {

std::vector<std::pair<std::string, int>> Buttons(int type) {
  std::vector<std::pair<std::string, int>> out;
  for (const MessageButton& b : MessageBoxButtons(type)) out.emplace_back(b.key, b.result);
  return out;
}

using Set = std::vector<std::pair<std::string, int>>;

TEST(MessageBox, ButtonSetsInControlOrderWithTheirResults) {
  EXPECT_EQ(Buttons(kMbOk), (Set{{"ok", 1}}));
  EXPECT_EQ(Buttons(kMbOkCancel), (Set{{"cancel", 2}, {"ok", 1}})) << "Cancel left, OK right";
  EXPECT_EQ(Buttons(kMbAbortRetryIgnore), (Set{{"abort", 3}, {"retry", 4}, {"ignore", 5}}));
  EXPECT_EQ(Buttons(kMbYesNoCancel), (Set{{"yes", 6}, {"no", 7}, {"cancel", 2}}));
  EXPECT_EQ(Buttons(kMbYesNo), (Set{{"yes", 6}, {"no", 7}}));
  EXPECT_EQ(Buttons(kMbRetryCancel), (Set{{"retry", 4}, {"cancel", 2}}));
  EXPECT_TRUE(Buttons(6).empty());
  // The icon bits do not change the buttons.
  EXPECT_EQ(Buttons(kMbOk | kMbIconExclamation), (Set{{"ok", 1}}));
}

TEST(MessageBox, IconByTheHighBits) {
  EXPECT_EQ(MessageBoxIcon(kMbOk | kMbIconExclamation), "skin_icon_exclamation");
  EXPECT_EQ(MessageBoxIcon(kMbIconHand), "skin_icon_hand");
  EXPECT_EQ(MessageBoxIcon(kMbOkCancel | kMbIconQuestion), "skin_icon_question");
  EXPECT_EQ(MessageBoxIcon(kMbIconInformation), "skin_icon_information");
  EXPECT_EQ(MessageBoxIcon(kMbOkCancel), "");
  EXPECT_EQ(MessageBoxIcon(0x50), "");
}

TEST(MessageBox, OneLineBreakAtTheLastBlankWithinTheFirst47Characters) {
  const std::string short47 = "The partition information has been changed. OK!";
  ASSERT_EQ(short47.size(), 47u);
  EXPECT_EQ(WrapMessageText(short47), short47);

  // 60 characters with blanks at 9, 19, 29, 39, 49: the break goes at 39.
  const std::string sixty = "abcdefghi abcdefghi abcdefghi abcdefghi abcdefghi abcdefghi";
  ASSERT_EQ(sixty.size(), 59u);
  std::string expected = sixty;
  expected[39] = '\n';
  EXPECT_EQ(WrapMessageText(sixty), expected);

  // A blank exactly at 46 is used; one at 47 is not.
  std::string at46(60, 'x');
  at46[46] = ' ';
  at46[10] = ' ';
  EXPECT_EQ(WrapMessageText(at46).find('\n'), 46u);
  std::string at47(60, 'x');
  at47[47] = ' ';
  EXPECT_EQ(WrapMessageText(at47), at47) << "no blank in the first 47 characters";

  // Characters, not bytes: 40 two-byte characters and a blank stay short.
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "\xC3\xA9";
  wide += " tail";
  EXPECT_EQ(WrapMessageText(wide), wide);
}

TEST(ResultDialog, SuccessAndFailureTexts) {
  const ResultRequest ok = SuccessResult();
  EXPECT_EQ(ok.caption, "Mission completed!");
  EXPECT_EQ(ok.text, "Thank you for your use!");
  EXPECT_EQ(ok.imageSkin, "skin.success.anim");
  const ResultRequest failed = FailureResult();
  EXPECT_EQ(failed.caption, "Task failed to run!!!");
  EXPECT_EQ(failed.text, "Sorry, please try again!");
  EXPECT_EQ(failed.imageSkin, "skin.error.tip");
}

}  // namespace
}  // namespace stow::ui
