// The backup page's reactions that need no volume: the proposed system volume,
// and the kind-3 events that lock and unlock its controls, which only its own
// events reach.
#include <gtest/gtest.h>

#include <string>

#include "engine/transfer/TaskState.h"
#include "ui/framework/EventThread.h"
#include "tests/ui/BackupPageSupport.h"
#include "ui/pages/BackupHandler.h"

namespace stow::ui {
namespace {

// Kinds of events other than the end of a task.
constexpr int kOtherEvent = 1;

using headless::HeadlessHost;
using headless::HeadlessPage;

discovery::PartitionList ThreeVolumes() {
  discovery::PartitionList list(3);
  list[0].volumeName = "/dev/sdb1";
  list[1].volumeName = "/dev/sda2";
  list[1].mountPath = "/";
  list[1].systemVolume = 1;
  list[2].volumeName = "/dev/sdb2";
  return list;
}

VolumeSource Fixed(const discovery::PartitionList& list) {
  auto fill = [list](discovery::PartitionList& out) { out = list; };
  return {fill, fill};
}

TEST(BackupPageEvents, TheSystemVolumeIsProposedAndKind3SetsTheControls) {
  HeadlessHost host;
  HeadlessPage& page = pagetest::AddBackupPage(host);
  HeadlessPage& restorePage = host.AddPage("page_restore");
  TaskPhase phase;
  engine::TaskState state;
  CBackupHandler backup(host, phase, state, Fixed(ThreeVolumes()));
  ASSERT_TRUE(backup.Init());
  EXPECT_EQ(page.GetListView(CBackupHandler::kListView).Sel(), 1);
  EXPECT_EQ(page.GetListView(CBackupHandler::kListView).Adapter()->SelectedRow(), 1);

  int copyAsked = 0;
  host.Notify().Register([&](const EventThread&) {
    ++copyAsked;
    return false;
  });
  host.Notify().Register([&](const EventThread& event) { return backup.OnEvent(event); });
  int restoreTaken = 0;
  host.Notify().Register([&](const EventThread& event) {
    if (!EventIsFor(event, restorePage.Identity())) return false;
    ++restoreTaken;
    return true;
  });

  auto& start = page.Get(CBackupHandler::kStartButton);
  auto& cancel = page.Get(CBackupHandler::kCancelButton);
  EXPECT_TRUE(start.IsEnabled());
  EXPECT_FALSE(cancel.IsEnabled());

  host.Notify().Post({page.Identity(), kEventControls, 0, {}});
  host.Pump();
  EXPECT_FALSE(start.IsEnabled());
  EXPECT_FALSE(page.Get(CBackupHandler::kPathEdit).IsEnabled());
  EXPECT_FALSE(page.Get(CBackupHandler::kSelectPathButton).IsEnabled());
  EXPECT_TRUE(cancel.IsEnabled());

  // The restore page's kind-3 event is not acted on here.
  host.Notify().Post({restorePage.Identity(), kEventControls, 1, {}});
  host.Pump();
  EXPECT_FALSE(start.IsEnabled());
  EXPECT_EQ(restoreTaken, 1);

  host.Notify().Post({page.Identity(), kEventControls, 1, {}});
  host.Pump();
  EXPECT_TRUE(start.IsEnabled());
  EXPECT_TRUE(page.Get(CBackupHandler::kPathEdit).IsEnabled());
  EXPECT_FALSE(cancel.IsEnabled());
  EXPECT_EQ(copyAsked, 3);
  // Other kinds for this page change nothing.
  host.Notify().Post({page.Identity(), kOtherEvent, 0, {}});
  host.Pump();
  EXPECT_TRUE(start.IsEnabled());
  EXPECT_FALSE(cancel.IsEnabled());
}

TEST(BackupPageEvents, AWindowWithoutTheBackupPage) {
  HeadlessHost host;
  host.AddPage("page_copy");
  TaskPhase phase;
  engine::TaskState state;
  CBackupHandler backup(host, phase, state, Fixed({}));
  EXPECT_FALSE(backup.Init());
  EXPECT_FALSE(backup.OnEvent({1, kEventControls, 1, {}}));
}

}  // namespace
}  // namespace stow::ui
