// The main window: its pages and tabs, the language switch, the close
// procedure while a task runs, the rescue-media marker and the DPI scale.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include "ui/qt/DlgAnimate.h"
#include "ui/qt/IconButton.h"
#include "ui/qt/Languages.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/Menus.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/TabMain.h"

namespace stow::ui::qt {
namespace {

QString TextOf(const QWidget& root, const char* name) {
  const auto* widget = root.findChild<QWidget*>(QLatin1StringView(name));
  if (const auto* label = qobject_cast<const QLabel*>(widget)) return label->text();
  if (const auto* button = qobject_cast<const QAbstractButton*>(widget)) return button->text();
  return QStringLiteral("<missing %1>").arg(QLatin1StringView(name));
}

class MainDlgTest : public ::testing::Test {
 protected:
  void SetUp() override { window_.Initialise(dir_.path(), false); }
  void TearDown() override {
    SetMessageBoxAnswerForTesting({});
    Languages::Switch(0);
  }

  QTemporaryDir dir_;
  CMainDlg window_;
};

TEST_F(MainDlgTest, HasItsSizeThreePagesAndTheLayoutNames) {
  EXPECT_EQ(window_.size(), QSize(1016, 720));
  ASSERT_EQ(window_.Tabs()->Count(), 3);
  EXPECT_EQ(window_.Tabs()->CurSel(), 0);
  EXPECT_EQ(window_.Tabs()->Tab(0)->geometry(), QRect(0, 0, 240, 50));
  EXPECT_EQ(window_.Tabs()->Tab(2)->geometry(), QRect(0, 100, 240, 50));
  for (const char* page : {"page_copy", "page_backup", "page_restore"}) {
    EXPECT_NE(window_.FindPage(QLatin1StringView(page)), nullptr) << page;
  }
  for (const char* name : {"btn_logo",
                           "btn_close",
                           "btn_min",
                           "btn_menu2",
                           "btn_makepe",
                           "btn_menu",
                           "tab_main",
                           "disk_list_view_copy",
                           "cbx_source",
                           "cbx_destination",
                           "check_system",
                           "btn_start_copy",
                           "btn_cancel_copy",
                           "prog_copy",
                           "prog_text_copy",
                           "text_total_size_copy",
                           "text_had_used_time_copy",
                           "text_had_copyed_size_copy",
                           "text_leave_time_copy",
                           "disk_list_view_backup",
                           "edit_backup_path",
                           "btn_sel_backup_path",
                           "btn_start_backup",
                           "btn_cancel_backup",
                           "prog_backup",
                           "text_leave_time_backup",
                           "disk_list_view_restore",
                           "edit_restore_path",
                           "btn_sel_restore_file",
                           "check_system_restore",
                           "btn_start_restore",
                           "btn_cancel_restore",
                           "prog_restore",
                           "text_leave_time_restore"}) {
    EXPECT_NE(window_.findChild<QWidget*>(QLatin1StringView(name)), nullptr) << name;
  }
  auto* page = window_.FindPage(QStringLiteral("page_backup"));
  EXPECT_NE(page->findChild<QWidget*>(QStringLiteral("btn_start_backup")), nullptr);
  EXPECT_EQ(page->findChild<QWidget*>(QStringLiteral("btn_start_copy")), nullptr);
  // The hidden language button and the hidden check boxes stay hidden.
  window_.ShowNow();
  EXPECT_FALSE(window_.findChild<QWidget*>(QStringLiteral("btn_menu"))->isVisible());
  EXPECT_FALSE(window_.findChild<QWidget*>(QStringLiteral("check_system"))->isVisible());
  window_.Tabs()->SetCurSel(2);
  EXPECT_TRUE(window_.FindPage(QStringLiteral("page_restore"))->isVisible());
  EXPECT_FALSE(window_.FindPage(QStringLiteral("page_copy"))->isVisible());
}

TEST_F(MainDlgTest, LanguageSwitchShowsEveryTextInChineseAndBack) {
  EXPECT_EQ(TextOf(window_, "btn_start_copy"), "Start");
  EXPECT_EQ(window_.Tabs()->Tab(1)->text(), "Backup");
  EXPECT_EQ(TextOf(window_, "label_source"), "Source:");
  EXPECT_EQ(TextOf(window_, "caption_title"), "Velmora Stowline");

  window_.OnCommand(kCmdChinese);
  EXPECT_EQ(window_.LanguageCommand(), kCmdChinese);
  EXPECT_EQ(TextOf(window_, "btn_start_copy"), QStringLiteral("开始"));
  EXPECT_EQ(TextOf(window_, "btn_cancel_restore"), QStringLiteral("取消"));
  EXPECT_EQ(window_.Tabs()->Tab(0)->text(), QStringLiteral("复制"));
  EXPECT_EQ(window_.Tabs()->Tab(1)->text(), QStringLiteral("备份"));
  EXPECT_EQ(window_.Tabs()->Tab(2)->text(), QStringLiteral("还原"));
  EXPECT_EQ(TextOf(window_, "label_source"), QStringLiteral("源分区："));
  EXPECT_EQ(TextOf(window_, "btn_makepe"), QStringLiteral("制作启动盘"));
  EXPECT_EQ(TextOf(window_, "label_status_backup"), QStringLiteral("状态："));
  // A text of the string table resolves first and is never translated away.
  EXPECT_EQ(TextOf(window_, "caption_title"), "Velmora Stowline");
  // Every visible label or button with a text of letters now reads differently,
  // save the product's name.
  for (const auto* label : window_.findChildren<QLabel*>()) {
    if (label->text().isEmpty() || label->text() == "Velmora Stowline") continue;
    EXPECT_FALSE(label->text().contains(QRegularExpression(QStringLiteral("^[A-Za-z ]+:?$"))))
        << label->objectName().toStdString() << ": " << label->text().toStdString();
  }
  // A box opened now speaks Chinese too.
  SMessageBoxEx box(QStringLiteral("@string/programRunning"), QStringLiteral("@string/notice"),
                    kMbOkCancel, 100);
  EXPECT_EQ(box.Button(1)->text(), QStringLiteral("确定"));
  EXPECT_EQ(TextOf(box, "msgtext"), QStringLiteral("程序已在运行。"));
  // A long message finds its translation, then gets its one line break.
  SMessageBoxEx rights(QStringLiteral("@string/needAdministrator"),
                       QStringLiteral("@string/notice"), kMbOk, 100);
  EXPECT_TRUE(TextOf(rights, "msgtext").startsWith(QStringLiteral("Velmora Stowline")));
  EXPECT_TRUE(TextOf(rights, "msgtext").contains(QStringLiteral("管理员权限")));
  EXPECT_EQ(TextOf(rights, "msgtext").count(QLatin1Char('\n')), 1);

  window_.OnCommand(kCmdEnglish);
  EXPECT_EQ(TextOf(window_, "btn_start_copy"), "Start");
  EXPECT_EQ(window_.Tabs()->Tab(2)->text(), "Restore");
  EXPECT_EQ(TextOf(window_, "label_source"), "Source:");
  EXPECT_EQ(TextOf(box, "msgtext"), "Program is running.");
}

TEST_F(MainDlgTest, CloseWhileATaskRunsAsksAndWaitsForThePhaseToReturnToZero) {
  int phase = 1;
  int stops = 0;
  window_.SetTaskControl({[&] { return phase; }, [&] { ++stops; }});
  window_.ShowNow();
  int asked = 0;
  int answer = kIdCancel;
  SetMessageBoxAnswerForTesting([&](const QString& text, const QString&, int type) {
    ++asked;
    EXPECT_EQ(text, "Task is running. Do you want to cancel it?");
    EXPECT_EQ(type, kMbOkCancel);
    return answer;
  });

  EXPECT_FALSE(window_.close());  // Cancel: nothing happens
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(stops, 0);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_FALSE(window_.WaitingToClose());

  answer = kIdOk;
  EXPECT_FALSE(window_.close());  // OK: the task is told to stop, the window stays
  EXPECT_EQ(stops, 1);
  EXPECT_TRUE(window_.isVisible());
  EXPECT_TRUE(window_.WaitingToClose());
  EXPECT_FALSE(window_.close());  // asked again while stopping: no second question
  EXPECT_EQ(asked, 2);

  phase = 0;  // the task has wound down
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window_.isVisible(); }, 10000));
  EXPECT_EQ(asked, 2);
}

TEST_F(MainDlgTest, CloseWithoutATaskClosesAtOnceWithoutAQuestion) {
  window_.SetTaskControl({[] { return 0; }, [] {}});
  window_.ShowNow();
  int asked = 0;
  SetMessageBoxAnswerForTesting([&](const QString&, const QString&, int) { return ++asked; });
  EXPECT_TRUE(window_.close());
  EXPECT_EQ(asked, 0);
}

TEST(MainDlgRescue, TheMarkerBesideTheProgramHidesMakeBootDiskAndTheStartScreen) {
  QTemporaryDir dir;
  {
    CMainDlg window;
    EXPECT_TRUE(window.Initialise(dir.path()));
    EXPECT_FALSE(window.RunsFromRescueMedia());
    ASSERT_NE(window.StartScreen(), nullptr);
    EXPECT_TRUE(window.StartScreen()->isVisible());
    window.ShowNow();
    EXPECT_TRUE(window.findChild<QWidget*>(QStringLiteral("btn_makepe"))->isVisible());
  }
  QFile marker(dir.filePath(QLatin1StringView(kRescueMarkerName)));
  ASSERT_TRUE(marker.open(QIODevice::WriteOnly));
  marker.close();
  CMainDlg window;
  EXPECT_FALSE(window.Initialise(dir.path()));
  EXPECT_TRUE(window.RunsFromRescueMedia());
  EXPECT_EQ(window.StartScreen(), nullptr);
  window.ShowNow();
  auto* makePe = window.findChild<QWidget*>(QStringLiteral("btn_makepe"));
  EXPECT_FALSE(makePe->isVisible());
  EXPECT_FALSE(makePe->isEnabled());
}

TEST_F(MainDlgTest, DpiChangesScaleTheWindowByTheTable) {
  window_.OnDpiChanged(144, 144);
  EXPECT_EQ(window_.Scale(), 150);
  EXPECT_EQ(window_.size(), QSize(1524, 1080));
  EXPECT_EQ(window_.Tabs()->Tab(1)->geometry(), QRect(0, 75, 360, 75));
  window_.OnDpiChanged(110, 110);
  EXPECT_EQ(window_.Scale(), 100);
  EXPECT_EQ(window_.size(), QSize(1016, 720));
  EXPECT_EQ(window_.Tabs()->Tab(1)->geometry(), QRect(0, 50, 240, 50));
}

TEST_F(MainDlgTest, MenusCarryTheirCommandsAndTheCurrentLanguageIsChecked) {
  std::unique_ptr<QMenu> lang(BuildLanguageMenu(&window_, kCmdChinese, 100));
  std::unique_ptr<QMenu> common(BuildCommonMenu(&window_, 100));
  std::vector<int> commands;
  for (QAction* a : common->actions()) commands.push_back(CommandOf(a));
  EXPECT_EQ(commands, (std::vector<int>{kCmdHome, kCmdHelp, kCmdAbout}));
  QMenu* sub = lang->actions().front()->menu();
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(CommandOf(lang->actions().front()), kCmdLanguageMenu);
  EXPECT_FALSE(sub->actions()[0]->isChecked());
  EXPECT_TRUE(sub->actions()[1]->isChecked());
  EXPECT_TRUE(lang->actions()[1]->isSeparator());
  EXPECT_EQ(CommandOf(lang->actions()[2]), kCmdExit);
}

}  // namespace
}  // namespace stow::ui::qt
