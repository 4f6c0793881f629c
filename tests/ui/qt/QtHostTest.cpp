// The framework's window on Qt: controls by layout name, clicks and choices
// reaching the page's handlers, the partition list model, page timers and the
// notify centre's delivery on the UI thread in posting order.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QTest>
#include <QThread>
#include <QTreeView>
#include <atomic>
#include <thread>

#include "ui/framework/PartitionListAdapter.h"
#include "ui/qt/DlgAnimate.h"
#include "ui/qt/Languages.h"
#include "ui/qt/MainDlg.h"
#include "ui/qt/Menus.h"
#include "ui/qt/MessageBoxEx.h"
#include "ui/qt/MessageRules.h"
#include "ui/qt/PartitionItemModel.h"
#include "ui/qt/QtControls.h"
#include "ui/qt/QtHost.h"

namespace stow::ui::qt {
namespace {

discovery::PartitionList Volumes() {
  discovery::PartitionInfo system;
  system.volumeName = "/dev/sda2";
  system.mountPath = "/";
  system.fileSystemName = "ext4";
  system.totalBytes = 500ull << 20;
  system.totalFreeBytes = 1ull << 30;
  system.diskNumber = 0;
  system.systemVolume = 1;
  discovery::PartitionInfo data = system;
  data.volumeName = "/dev/sdb1";
  data.mountPath = "/mnt/windows-data-volume";
  data.fileSystemName = "NTFS";
  data.diskNumber = 1;
  data.systemVolume = 0;
  discovery::PartitionInfo dynamic = data;
  dynamic.volumeName = "/dev/md0";
  dynamic.mountPath.clear();
  dynamic.diskNumber = -1;
  return {system, data, dynamic};
}

class QtHostTest : public ::testing::Test {
 protected:
  void SetUp() override { window_.Initialise(QString(), false); }
  void TearDown() override { Languages::Switch(0); }
  Page& PageNamed(const char* name) {
    Page* page = window_.Host().FindPage(name);
    EXPECT_NE(page, nullptr) << name;
    return *page;
  }
  CMainDlg window_;
};

TEST_F(QtHostTest, FindsControlsByLayoutNameOfTheirKindAndOnlyInTheirPage) {
  Page& copy = PageNamed("page_copy");
  EXPECT_EQ(copy.Name(), "page_copy");
  EXPECT_NE(copy.Identity(), 0u);
  EXPECT_NE(copy.Identity(), PageNamed("page_backup").Identity());
  EXPECT_EQ(window_.Host().FindPage("page_none"), nullptr);
  EXPECT_NE(copy.FindComboBox("cbx_source"), nullptr);
  EXPECT_NE(copy.FindListView("disk_list_view_copy"), nullptr);
  EXPECT_NE(copy.FindProgressBar("prog_copy"), nullptr);
  EXPECT_EQ(copy.FindComboBox("btn_start_copy"), nullptr);
  EXPECT_EQ(copy.Find("btn_start_backup"), nullptr);
  EXPECT_EQ(copy.Find("no_such_control"), nullptr);
  EXPECT_EQ(copy.Find("cbx_source"), copy.Find("cbx_source"));
}

TEST_F(QtHostTest, ControlsKeepTheirOwnStateWhileThePageIsLocked) {
  Page& backup = PageNamed("page_backup");
  Control* start = backup.Find("btn_start_backup");
  Control* cancel = backup.Find("btn_cancel_backup");
  cancel->SetEnabled(false);
  backup.SetLocked(true);
  EXPECT_TRUE(backup.IsLocked());
  auto* startWidget = window_.findChild<QWidget*>(QStringLiteral("btn_start_backup"));
  EXPECT_FALSE(startWidget->isEnabled());  // no input while locked
  EXPECT_TRUE(start->IsEnabled());         // but its own state stays
  backup.SetLocked(false);
  EXPECT_TRUE(startWidget->isEnabled());
  EXPECT_FALSE(cancel->IsEnabled());

  Control* edit = backup.Find("edit_backup_path");
  edit->SetText("/srv/images/Velmoras_2026.vmg");
  EXPECT_EQ(edit->Text(), "/srv/images/Velmoras_2026.vmg");
  Control* total = backup.Find("text_total_size_backup");
  total->SetText("12.00 GB");
  EXPECT_EQ(window_.findChild<QLabel*>(QStringLiteral("text_total_size_backup"))->text(),
            "12.00 GB");
  total->SetAttribute("show", "0");
  EXPECT_FALSE(total->IsVisible());
  EXPECT_EQ(total->Attribute("show"), "0");
  total->SetUserData(42);
  EXPECT_EQ(total->UserData(), 42);

  Control* check = PageNamed("page_restore").Find("check_system_restore");
  check->SetChecked(true);
  EXPECT_TRUE(check->IsChecked());
  EXPECT_FALSE(check->IsVisible());
}

TEST_F(QtHostTest, ClicksAndChoicesReachThePageHandlersByName) {
  Page& copy = PageNamed("page_copy");
  std::vector<std::string> commands;
  std::vector<std::string> choices;
  copy.SetHandlers({[&](const std::string& c) { commands.push_back(c); },
                    [&](const std::string& c) { choices.push_back(c); },
                    {}});
  ComboBox* source = copy.FindComboBox("cbx_source");
  source->InsertItem(0, "/mnt/b");
  source->InsertItem(0, "/mnt/a");
  source->InsertItem(99, "/mnt/c");
  EXPECT_EQ(source->ItemCount(), 3);
  EXPECT_EQ(source->ItemText(2), "/mnt/c");
  EXPECT_EQ(source->CurSel(), ComboBox::kNoItem);
  source->SetCurSel(1);
  EXPECT_EQ(source->Text(), "/mnt/b");
  EXPECT_TRUE(choices.empty());  // only the user's choice is an event

  auto* combo = window_.findChild<QComboBox*>(QStringLiteral("cbx_source"));
  emit combo->activated(2);
  EXPECT_EQ(choices, std::vector<std::string>{"cbx_source"});
  window_.findChild<QAbstractButton*>(QStringLiteral("btn_start_copy"))->click();
  window_.findChild<QAbstractButton*>(QStringLiteral("btn_cancel_copy"))->click();
  EXPECT_EQ(commands, (std::vector<std::string>{"btn_start_copy", "btn_cancel_copy"}));
  source->ResetContent();
  EXPECT_EQ(source->ItemCount(), 0);
}

TEST_F(QtHostTest, PartitionListShowsTheAdapterRowsWithRadioMarksThatFollowTheSelection) {
  Page& backup = PageNamed("page_backup");
  ListView* list = backup.FindListView("disk_list_view_backup");
  auto adapter = std::make_shared<PartitionListAdapter>(Volumes(), true);
  list->SetAdapter(adapter);
  auto* view = window_.findChild<QTreeView*>(QStringLiteral("disk_list_view_backup"));
  QAbstractItemModel* model = view->model();
  ASSERT_EQ(model->rowCount(), 3);
  ASSERT_EQ(model->columnCount(), 5);
  EXPECT_EQ(model->headerData(0, Qt::Horizontal).toString(), "HD No");
  EXPECT_EQ(model->headerData(3, Qt::Horizontal).toString(), "Free Size");
  EXPECT_EQ(model->index(0, 0).data().toString(), "HD 0");
  EXPECT_EQ(model->index(0, 1).data().toString(), "/");
  EXPECT_EQ(model->index(0, 2).data().toString(), "500.00 MB");
  EXPECT_EQ(model->index(0, 3).data().toString(), "1.00 GB");
  EXPECT_EQ(model->index(1, 4).data().toString(), "NTFS");
  EXPECT_EQ(model->index(2, 0).data().toString(), "Dynamic");
  EXPECT_EQ(model->index(2, 1).data().toString(), "/dev/md0");
  // The Drive Letter column keeps a long path's start and end, and its tooltip gives it whole.
  EXPECT_EQ(view->textElideMode(), Qt::ElideMiddle);
  EXPECT_EQ(model->index(1, 1).data(Qt::ToolTipRole).toString(), "/mnt/windows-data-volume");
  EXPECT_EQ(model->index(2, 1).data(Qt::ToolTipRole).toString(), "/dev/md0");
  EXPECT_FALSE(model->index(1, 2).data(Qt::ToolTipRole).isValid());
  EXPECT_FALSE(model->index(0, 1).data(Qt::DecorationRole).isNull());
  // The system volume's icon differs from the others'.
  const QImage systemIcon = model->index(0, 1).data(Qt::DecorationRole).value<QPixmap>().toImage();
  const QImage dataIcon = model->index(1, 1).data(Qt::DecorationRole).value<QPixmap>().toImage();
  EXPECT_NE(systemIcon, dataIcon);

  // No row selected yet: every radio mark is clear.
  EXPECT_EQ(list->Sel(), ListView::kNoRow);
  for (int row = 0; row < 3; ++row)
    EXPECT_FALSE(model->index(row, 0).data(Qt::UserRole + 1).toBool());
  list->SetSel(0, true);
  EXPECT_EQ(adapter->SelectedRow(), 0);
  EXPECT_TRUE(model->index(0, 0).data(Qt::UserRole + 1).toBool());
  // The user clicks the third row: the adapter and the marks follow.
  view->selectionModel()->setCurrentIndex(
      model->index(2, 3), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  EXPECT_EQ(adapter->SelectedRow(), 2);
  EXPECT_EQ(list->Sel(), 2);
  EXPECT_FALSE(model->index(0, 0).data(Qt::UserRole + 1).toBool());
  EXPECT_TRUE(model->index(2, 0).data(Qt::UserRole + 1).toBool());
  // Selecting without notice leaves the adapter alone.
  list->SetSel(1, false);
  EXPECT_EQ(adapter->SelectedRow(), 2);

  // Header clicks never sort.
  EXPECT_FALSE(view->header()->sectionsClickable());
  EXPECT_FALSE(view->isSortingEnabled());

  // The restore page's list leaves the system volume out; a new adapter clears the selection.
  ListView* restore = PageNamed("page_restore").FindListView("disk_list_view_restore");
  restore->SetAdapter(std::make_shared<PartitionListAdapter>(Volumes(), false));
  auto* restoreView = window_.findChild<QTreeView*>(QStringLiteral("disk_list_view_restore"));
  EXPECT_EQ(restoreView->model()->rowCount(), 2);
  EXPECT_EQ(restoreView->model()->index(0, 1).data().toString(), "/mnt/windows-data-volume");
  list->SetAdapter(std::make_shared<PartitionListAdapter>(Volumes(), true));
  EXPECT_EQ(list->Sel(), ListView::kNoRow);

  // The copy page's list has no radio marks; its headers follow the language.
  ListView* copy = PageNamed("page_copy").FindListView("disk_list_view_copy");
  copy->SetAdapter(std::make_shared<PartitionListAdapter>(Volumes(), true));
  auto* copyView = window_.findChild<QTreeView*>(QStringLiteral("disk_list_view_copy"));
  EXPECT_FALSE(copyView->model()->index(0, 0).data(Qt::UserRole + 1).isValid());
  window_.OnCommand(kCmdChinese);
  EXPECT_EQ(copyView->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("盘符"));
  EXPECT_EQ(copyView->model()->index(2, 0).data().toString(), QStringLiteral("动态磁盘"));
}

TEST_F(QtHostTest, PageTimersTickOnTheUiThreadUntilStopped) {
  Page& restore = PageNamed("page_restore");
  std::vector<int> ticks;
  restore.SetHandlers({{}, {}, [&](int id) { ticks.push_back(id); }});
  EXPECT_FALSE(restore.IsTimerRunning(2));
  restore.StartTimer(2, 5);
  EXPECT_TRUE(restore.IsTimerRunning(2));
  ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.size() >= 2; }, 10000));
  restore.StopTimer(2);
  EXPECT_FALSE(restore.IsTimerRunning(2));
  const size_t seen = ticks.size();
  QTest::qWait(30);
  EXPECT_EQ(ticks.size(), seen);
  EXPECT_EQ(ticks.front(), 2);
}

TEST_F(QtHostTest, WorkerEventsArriveOnTheUiThreadInPostingOrderAtTheirPage) {
  NotifyCenter& notify = window_.Host().Notify();
  const EventSender backup = PageNamed("page_backup").Identity();
  std::vector<int32_t> seen;
  bool offThread = false;
  const auto uiThread = std::this_thread::get_id();
  // The copy page declines what is not its own; the backup page takes its events.
  const EventSender copy = PageNamed("page_copy").Identity();
  int copyOffers = 0;
  const int copyToken = notify.Register([&](const EventThread& e) {
    ++copyOffers;
    return e.sender == copy;
  });
  const int backupToken = notify.Register([&](const EventThread& e) {
    if (e.sender != backup) return false;
    offThread = offThread || std::this_thread::get_id() != uiThread;
    seen.push_back(e.value);
    return true;
  });
  constexpr int kEvents = 300;
  std::thread worker([&] {
    for (int i = 0; i < kEvents; ++i) notify.Post(EventThread{backup, 3, i, {}});
  });
  worker.join();
  ASSERT_TRUE(QTest::qWaitFor([&] { return seen.size() == kEvents; }, 10000));
  EXPECT_FALSE(offThread);
  for (int i = 0; i < kEvents; ++i) ASSERT_EQ(seen[static_cast<size_t>(i)], i);
  EXPECT_EQ(copyOffers, kEvents);
  notify.Unregister(copyToken);
  notify.Unregister(backupToken);
}

VolumeSource FixedVolumes() {
  auto fill = [](discovery::PartitionList& list) { list = Volumes(); };
  return {fill, fill};
}

TEST(MainDlgPages, TheThreePageControllersFillTheirPagesAndTakeTheirOwnEvents) {
  TaskPhase phase;
  engine::TaskState state;
  CMainDlg window;
  CMainDlg::PageSetup setup;
  setup.phase = &phase;
  setup.state = &state;
  setup.volumes = FixedVolumes();
  setup.destination.volumes = FixedVolumes();
  window.HostPages(setup);
  window.Initialise(QString(), false);

  // Copy: every volume as a source; the destinations without the system volume.
  auto* source = window.findChild<QComboBox*>(QStringLiteral("cbx_source"));
  auto* destination = window.findChild<QComboBox*>(QStringLiteral("cbx_destination"));
  EXPECT_EQ(source->count(), 3);
  EXPECT_EQ(destination->count(), 2);
  EXPECT_EQ(destination->itemText(0), "/dev/sdb1");
  // Backup: every volume, the system's proposed with its radio mark.
  auto* backup = window.findChild<QTreeView*>(QStringLiteral("disk_list_view_backup"));
  ASSERT_EQ(backup->model()->rowCount(), 3);
  EXPECT_TRUE(backup->model()->index(0, 0).data(Qt::UserRole + 1).toBool());
  // Restore: never the running system.
  auto* restore = window.findChild<QTreeView*>(QStringLiteral("disk_list_view_restore"));
  EXPECT_EQ(restore->model()->rowCount(), 2);
  auto* cancel = window.findChild<QWidget*>(QStringLiteral("btn_cancel_backup"));
  EXPECT_FALSE(cancel->isEnabled());

  // The window's close waits for the pages' task phase and raises the task's stop flag.
  int asked = 0;
  SetMessageBoxAnswerForTesting([&](const QString&, const QString&, int) {
    ++asked;
    return kIdOk;
  });
  window.ShowNow();
  phase.Set(Phase::kBackup);
  EXPECT_FALSE(window.close());
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(state.stopFlag.load());
  phase.Set(Phase::kIdle);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window.isVisible(); }, 10000));
  SetMessageBoxAnswerForTesting({});
}

}  // namespace
}  // namespace stow::ui::qt
