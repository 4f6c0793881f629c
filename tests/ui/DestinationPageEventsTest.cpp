// The copy and restore pages' reactions that need no volume: the combo boxes
// and the list from an inventory, the first rule of both pages while any task
// phase runs, and the worker events: each page takes only its own, kind 3 sets
// the controls, and a disk check or boot repair result that belongs to no
// chain of the page changes nothing.
#include <gtest/gtest.h>

#include "tests/ui/PageTestSupport.h"

namespace stow::ui::test {
namespace {

// Kinds of events other than the end of a task.
constexpr int kOtherEvent = 1;
constexpr int kAnotherEvent = 2;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

PartitionList Volumes() {
  PartitionList list(3);
  list[0].volumeName = "/dev/sdb1";
  list[1].volumeName = "/dev/sda2";
  list[1].mountPath = "/";
  list[1].systemVolume = 1;
  list[2].volumeName = "/dev/sdb2";
  return list;
}

class PageEvents : public ::testing::Test {
 protected:
  void SetUp() override {
    AddCopyPage(host_);
    AddRestorePage(host_);
    DestinationPageParts parts;
    auto fill = [](PartitionList& out) { out = Volumes(); };
    parts.volumes = {fill, fill};
    copy_ = std::make_unique<CCopyHandler>(host_, phase_, state_, parts);
    restore_ = std::make_unique<CRestoreHandler>(host_, phase_, state_, parts);
    ASSERT_TRUE(copy_->Init());
    ASSERT_TRUE(restore_->Init());
    host_.Notify().Register([this](const EventThread& e) {
      const bool took = copy_->OnEvent(e);
      if (took) taken_.push_back("copy");
      return took;
    });
    host_.Notify().Register([this](const EventThread& e) {
      const bool took = restore_->OnEvent(e);
      if (took) taken_.push_back("restore");
      return took;
    });
  }

  HeadlessPage& Copy() { return host_.GetPage(CCopyHandler::kPageName); }
  HeadlessPage& Restore() { return host_.GetPage(CRestoreHandler::kPageName); }
  void Deliver(EventSender sender, int kind, int value) {
    taken_.clear();
    host_.Notify().Post(EventThread{sender, kind, value, {}});
    host_.Pump();
  }

  HeadlessHost host_;
  TaskPhase phase_;
  engine::TaskState state_;
  std::unique_ptr<CCopyHandler> copy_;
  std::unique_ptr<CRestoreHandler> restore_;
  std::vector<std::string> taken_;
};

TEST_F(PageEvents, ThePagesShowTheInventory) {
  EXPECT_EQ(Copy().GetComboBox(CCopyHandler::kSource).Items(),
            (std::vector<std::string>{"/dev/sdb1", "/dev/sda2", "/dev/sdb2"}));
  EXPECT_EQ(Copy().GetComboBox(CCopyHandler::kSource).CurSel(), 1);
  EXPECT_TRUE(copy_->CopySystem()) << "the running system's volume is proposed";
  EXPECT_EQ(Copy().GetComboBox(CCopyHandler::kDestination).Items(),
            (std::vector<std::string>{"/dev/sdb1", "/dev/sdb2"}));
  EXPECT_EQ(Restore().GetListView(CRestoreHandler::kListView).Adapter()->ItemCount(), 2);
  EXPECT_TRUE(Copy().Get(CCopyHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(Copy().Get(CCopyHandler::kCancelButton).IsEnabled());
  EXPECT_FALSE(Restore().Get(CRestoreHandler::kCancelButton).IsEnabled());
}

TEST_F(PageEvents, EveryPhaseButIdleMakesBothPagesRefuseFirst) {
  for (Phase phase :
       {Phase::kCopy, Phase::kBackup, Phase::kRestore, Phase::kDiskCheck, Phase::kBootRepair}) {
    phase_.Set(phase);
    host_.ClearShown();
    ASSERT_TRUE(Copy().Click(CCopyHandler::kStartButton));
    ASSERT_TRUE(Restore().Click(CRestoreHandler::kStartButton));
    EXPECT_EQ(host_.ShownIds(),
              (std::vector<std::string>{"copyThreadIsRunning", "restoreThreadIsRunning"}));
    EXPECT_EQ(host_.Shown()[0].text, "The current task is running.");
    EXPECT_EQ(host_.Shown()[0].caption, "Tips");
  }
}

TEST_F(PageEvents, EachPageTakesOnlyItsOwnEvents) {
  const EventSender copy = Copy().Identity();
  const EventSender restore = Restore().Identity();
  Deliver(restore, kEventControls, 0);
  EXPECT_EQ(taken_, std::vector<std::string>{"restore"}) << "the copy page is asked first";
  EXPECT_FALSE(Restore().Get(CRestoreHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(Restore().Get(CRestoreHandler::kPathEdit).IsEnabled());
  EXPECT_TRUE(Restore().Get(CRestoreHandler::kCancelButton).IsEnabled());
  EXPECT_TRUE(Copy().Get(CCopyHandler::kStartButton).IsEnabled());
  Deliver(restore, kEventControls, 1);
  EXPECT_TRUE(Restore().Get(CRestoreHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(Restore().Get(CRestoreHandler::kCancelButton).IsEnabled());

  Deliver(copy, kEventControls | 0x30000, 0);  // only the low 16 bits are the kind
  EXPECT_EQ(taken_, std::vector<std::string>{"copy"});
  EXPECT_FALSE(Copy().Get(CCopyHandler::kSource).IsEnabled());
  EXPECT_TRUE(Copy().Get(CCopyHandler::kCancelButton).IsEnabled());

  // A result of a chain the page did not start, and a kind it does not know.
  Deliver(copy, kOtherEvent, 0);
  Deliver(restore, kAnotherEvent, 5);
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_TRUE(host_.Shown().empty());
  Deliver(copy, 7, 1);
  EXPECT_TRUE(taken_.empty());
}

TEST_F(PageEvents, CancelWithoutARunningTaskAsksNothing) {
  Copy().Get(CCopyHandler::kCancelButton).SetEnabled(true);
  ASSERT_TRUE(Copy().Click(CCopyHandler::kCancelButton));
  phase_.Set(Phase::kCopy);  // another page's task, or one that has ended
  ASSERT_TRUE(Copy().Click(CCopyHandler::kCancelButton));
  EXPECT_TRUE(host_.Shown().empty());
}

}  // namespace
}  // namespace stow::ui::test
