// The headless window: scripted dialogs, the clock and the page timers, acting
// on controls as a user can, and the partition list through its adapter.
#include "ui/framework/headless/HeadlessHost.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ui/framework/PartitionListAdapter.h"

namespace stow::ui::headless {
namespace {

using namespace std::chrono_literals;

TEST(HeadlessDialogs, AnswersArePerQuestionInOrderAndEveryTextIsRecorded) {
  HeadlessHost host;
  host.QueueAnswer("confirmBackup", kIdOk);
  host.QueueAnswer("confirmBackup", kIdCancel);
  EXPECT_TRUE(AskOkCancel(host, "confirmBackup", "first"));
  ShowNotice(host, "setBackupPath", "a notice needs no answer");
  EXPECT_FALSE(AskOkCancel(host, "confirmBackup", "second"));
  EXPECT_EQ(host.ShowResultDialog(FailureResult()), kIdOk);

  EXPECT_EQ(host.ShownIds(), (std::vector<std::string>{"confirmBackup", "setBackupPath",
                                                       "confirmBackup", "result"}));
  ASSERT_EQ(host.Shown().size(), 4u);
  EXPECT_EQ(host.Shown()[0].text, "first");
  EXPECT_EQ(host.Shown()[0].caption, "Tips");
  EXPECT_EQ(host.Shown()[0].type, kMbOkCancel);
  EXPECT_EQ(host.Shown()[1].type, kMbOk);
  EXPECT_EQ(host.Shown()[2].result, kIdCancel);
  EXPECT_EQ(host.Shown()[3].imageSkin, "skin.error.tip");
}

TEST(HeadlessDialogs, AQuestionWithoutAnAnswerFailsTheTestAndIsCancelled) {
  EXPECT_NONFATAL_FAILURE(
      {
        HeadlessHost host;
        EXPECT_FALSE(AskOkCancel(host, "confirmStopOperate", "Stop the operation?"));
      },
      "question confirmStopOperate came with no answer queued: Stop the operation?");
  EXPECT_NONFATAL_FAILURE(
      {
        HeadlessHost host;
        host.QueueAnswer("confirmBackup", kIdOk);
      },
      "were never used: the question did not come");
}

TEST(HeadlessTimers, TicksFallDueEachPeriodAndStopInsideATickHolds) {
  HeadlessHost host;
  HeadlessPage& page = host.AddPage("page_backup");
  std::vector<std::pair<int, uint32_t>> ticks;  // timer id, seconds at the tick
  PageHandlers handlers;
  handlers.onTimer = [&](int id) {
    ticks.emplace_back(id, host.NowSeconds());
    if (id == 5 && ticks.size() >= 3) page.StopTimer(5);
  };
  page.SetHandlers(handlers);
  const uint32_t start = host.NowSeconds();
  EXPECT_NE(start, 0u);
  page.StartTimer(0, kTimerPeriodMs);
  host.Advance(500ms);
  page.StartTimer(5, kTimerPeriodMs);
  EXPECT_TRUE(page.IsTimerRunning(0));
  host.Advance(2600ms);  // to 3.1 s: timer 0 at 1, 2, 3; timer 5 at 1.5, 2.5
  EXPECT_EQ(ticks,
            (std::vector<std::pair<int, uint32_t>>{
                {0, start + 1}, {5, start + 1}, {0, start + 2}, {5, start + 2}, {0, start + 3}}));
  EXPECT_EQ(host.NowSeconds(), start + 3);
  host.Advance(1s);  // timer 5 ticks at 3.5 and stops itself
  EXPECT_FALSE(page.IsTimerRunning(5));
  page.StopTimer(0);
  const size_t before = ticks.size();
  host.Advance(10s);
  EXPECT_EQ(ticks.size(), before);
}

TEST(HeadlessPage, TheUserCannotUseHiddenDisabledOrLockedControls) {
  HeadlessHost host;
  HeadlessPage& page = host.AddPage("page_copy");
  std::vector<std::string> commands;
  std::vector<std::string> selections;
  PageHandlers handlers;
  handlers.onCommand = [&](const std::string& c) { commands.push_back(c); };
  handlers.onSelectionChanged = [&](const std::string& c) { selections.push_back(c); };
  page.SetHandlers(handlers);
  page.AddControl("btn_start_copy");
  HeadlessComboBox& combo = page.AddComboBox("cbx_source");
  combo.InsertItem(0, "/dev/b");
  combo.InsertItem(0, "/dev/a");
  combo.InsertItem(9, "/dev/c");
  EXPECT_EQ(combo.Items(), (std::vector<std::string>{"/dev/a", "/dev/b", "/dev/c"}));

  EXPECT_TRUE(page.Click("btn_start_copy"));
  EXPECT_FALSE(page.Click("btn_none"));
  page.Get("btn_start_copy").SetEnabled(false);
  EXPECT_FALSE(page.Click("btn_start_copy"));
  page.Get("btn_start_copy").SetEnabled(true);
  page.SetLocked(true);
  EXPECT_FALSE(page.Click("btn_start_copy"));
  EXPECT_FALSE(page.ChooseItem("cbx_source", 1));
  page.SetLocked(false);
  EXPECT_TRUE(page.Get("btn_start_copy").IsEnabled()) << "unlocking keeps the control's own state";
  EXPECT_FALSE(page.ChooseItem("cbx_source", 3));
  EXPECT_TRUE(page.ChooseItem("cbx_source", 1));
  EXPECT_EQ(combo.Text(), "/dev/b");
  EXPECT_EQ(commands, std::vector<std::string>{"btn_start_copy"});
  EXPECT_EQ(selections, std::vector<std::string>{"cbx_source"});
  combo.ResetContent();
  EXPECT_EQ(combo.CurSel(), ComboBox::kNoItem);
  EXPECT_EQ(combo.Text(), "");
}

TEST(HeadlessPage, AChosenListRowReachesTheAdapterAsItsSelection) {
  discovery::PartitionList list(3);
  list[0].volumeName = "/dev/loop9p1";
  list[0].mountPath = "/";
  list[0].systemVolume = 1;
  list[0].diskNumber = 0;
  list[1].volumeName = "/dev/loop9p2";
  list[1].diskNumber = 0;
  list[1].fileSystemName = "NTFS";
  list[1].totalBytes = 3ull << 30;
  list[2].volumeName = "/dev/md0";
  list[2].mountPath = "/data";

  HeadlessHost host;
  HeadlessPage& page = host.AddPage("page_backup");
  HeadlessListView& view = page.AddListView("disk_list_view_backup");
  auto adapter = std::make_shared<PartitionListAdapter>(list, true);
  view.SetAdapter(adapter);
  EXPECT_EQ(adapter->ColumnNames(),
            (std::vector<std::string>{"col1", "col2", "col3", "col4", "col5"}));
  EXPECT_EQ(view.CellText(0, "txt_partion_name"), "/");
  EXPECT_EQ(view.CellText(1, "txt_partion_name"), "/dev/loop9p2")
      << "no mount path: the volume name";
  EXPECT_EQ(view.CellText(1, "txt_total_size"), "3.00 GB");
  EXPECT_EQ(view.CellText(2, "txt_HD_NO"), "Dynamic");
  EXPECT_EQ(view.BoundRows()[0][5].attributes.front(),
            (std::pair<std::string, std::string>{"skin", "skin.tile.icon1"}));

  EXPECT_EQ(adapter->SelectedRow(), ListView::kNoRow);
  EXPECT_TRUE(page.ChooseRow("disk_list_view_backup", 1));
  EXPECT_EQ(view.Sel(), 1);
  ASSERT_NE(adapter->SelectedPartition(), nullptr);
  EXPECT_EQ(adapter->SelectedPartition()->volumeName, "/dev/loop9p2");
  EXPECT_TRUE(view.BoundRows()[1][0].checked);
  EXPECT_FALSE(page.ChooseRow("disk_list_view_backup", 3));

  // Without the system volume the rows shift, and a selection without
  // notification leaves the adapter alone.
  auto withoutSystem = std::make_shared<PartitionListAdapter>(list, false);
  view.SetAdapter(withoutSystem);
  EXPECT_EQ(withoutSystem->ItemCount(), 2);
  view.SetSel(0, false);
  EXPECT_EQ(withoutSystem->SelectedRow(), ListView::kNoRow);
  view.SetSel(1, true);
  EXPECT_EQ(withoutSystem->SelectedPartition()->volumeName, "/dev/md0");
}

}  // namespace
}  // namespace stow::ui::headless
