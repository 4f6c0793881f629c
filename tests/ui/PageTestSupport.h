// What the tests of the copy and restore pages share: the pages built as their
// layouts build them on a headless host, the machine's inventory narrowed to
// the disks a test attached (other tests attach loop devices meanwhile), and
// driving a task through the clock and the notify centre.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "discovery/Inventory.h"
#include "engine/transfer/TaskState.h"
#include "platform/VolumeLock.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/DiskFixtures.h"
#include "tests/testlib/TestUtil.h"
#include "ui/framework/headless/HeadlessHost.h"
#include "ui/pages/CopyHandler.h"
#include "ui/pages/RestoreHandler.h"

namespace stow::ui::test {

using namespace stow::test;  // NOLINT(google-build-using-namespace): the shared fixtures
using discovery::PartitionInfo;
using discovery::PartitionList;
using headless::HeadlessComboBox;
using headless::HeadlessHost;
using headless::HeadlessListView;
using headless::HeadlessPage;

inline void AddProgressControls(HeadlessPage& page, const std::string& suffix) {
  page.AddProgressBar("prog_" + suffix);
  for (const char* text : {"prog_text_", "text_total_size_", "text_had_used_time_",
                           "text_had_copyed_size_", "text_leave_time_"}) {
    page.AddControl(text + suffix);
  }
}

inline HeadlessPage& AddCopyPage(HeadlessHost& host) {
  HeadlessPage& page = host.AddPage(CCopyHandler::kPageName);
  page.AddListView(CCopyHandler::kListView);
  page.AddComboBox(CCopyHandler::kSource);
  page.AddComboBox(CCopyHandler::kDestination);
  page.AddControl(CCopyHandler::kCopySystem).SetVisible(false);
  page.AddControl(CCopyHandler::kStartButton);
  page.AddControl(CCopyHandler::kCancelButton);
  AddProgressControls(page, "copy");
  return page;
}

inline HeadlessPage& AddRestorePage(HeadlessHost& host) {
  HeadlessPage& page = host.AddPage(CRestoreHandler::kPageName);
  page.AddListView(CRestoreHandler::kListView);
  page.AddControl(CRestoreHandler::kPathEdit);
  page.AddControl(CRestoreHandler::kSelectFileButton);
  page.AddControl(CRestoreHandler::kImageSystem).SetVisible(false);
  page.AddControl(CRestoreHandler::kStartButton);
  page.AddControl(CRestoreHandler::kCancelButton);
  AddProgressControls(page, "restore");
  return page;
}

// The machine's inventory narrowed to the volumes of the test's own loop
// devices, with what a test changes in it on the way.
class TestVolumes {
 public:
  std::vector<std::string> devices;  // "/dev/loop3": its partitions are kept
  // Applied to every refresh and enumeration (what the inventory would say).
  std::function<void(PartitionList&)> tweak;
  // Applied to the enumeration alone (a volume that came or went since).
  std::function<void(PartitionList&)> change;

  VolumeSource Source() {
    return {[this](PartitionList& list) { Fill(list, discovery::RefreshPartitionList, false); },
            [this](PartitionList& list) { Fill(list, discovery::EnumerateVolumes, true); }};
  }

 private:
  void Fill(PartitionList& list, void (*read)(PartitionList&), bool enumeration) {
    PartitionList all;
    read(all);
    for (const PartitionInfo& info : all) {
      for (const std::string& device : devices) {
        if (info.volumeName.rfind(device + "p", 0) == 0) list.push_back(info);
      }
    }
    if (tweak) tweak(list);
    if (enumeration && change) change(list);
  }
};

// A disk fixture attached with its partitions.
struct AttachedDisk {
  DiskFixture fixture;
  std::unique_ptr<LoopDevice> loop;
  std::string Node(int number) const { return loop->Partition(number); }
};

// The copy and the restore page on one headless host, with the worker events
// delivered to them in the window's order.
class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::vector<std::string> tools = DiskFixtureTools();
    tools.insert(tools.end(), {"mkntfs", "ntfs-3g", "ntfsfix", "losetup", "partx"});
    STOW_REQUIRE(tools, true, true);
    AddCopyPage(host_);
    AddRestorePage(host_);
  }

  void TearDown() override {
    copy_.reset();
    restore_.reset();
    state_.WaitForWorkers();
  }

  // Builds both controllers over the test's volumes and initialises them.
  void MakePages(DestinationPageParts parts = {}) {
    parts.volumes = volumes_.Source();
    copy_ = std::make_unique<CCopyHandler>(host_, phase_, state_, parts);
    restore_ = std::make_unique<CRestoreHandler>(host_, phase_, state_, parts);
    ASSERT_TRUE(copy_->Init());
    ASSERT_TRUE(restore_->Init());
    host_.Notify().Register([this](const EventThread& e) { return copy_ && copy_->OnEvent(e); });
    host_.Notify().Register(
        [this](const EventThread& e) { return restore_ && restore_->OnEvent(e); });
  }

  // A fixture disk attached, its volumes part of the pages' inventory.
  AttachedDisk& Attach(DiskFixture fixture) {
    auto disk = std::make_unique<AttachedDisk>();
    disk->fixture = std::move(fixture);
    EXPECT_TRUE(disk->fixture.Ok()) << disk->fixture.error;
    disk->loop = std::make_unique<LoopDevice>(disk->fixture.image);
    EXPECT_TRUE(disk->loop->Ok());
    volumes_.devices.push_back(disk->loop->Device());
    disks_.push_back(std::move(disk));
    return *disks_.back();
  }

  HeadlessPage& CopyPage() { return host_.GetPage(CCopyHandler::kPageName); }
  HeadlessPage& RestorePage() { return host_.GetPage(CRestoreHandler::kPageName); }

  // Chooses the item `text` of a combo box of the copy page.
  ::testing::AssertionResult ChooseCopyItem(const char* combo, const std::string& text) {
    HeadlessComboBox& box = CopyPage().GetComboBox(combo);
    for (int i = 0; i < box.ItemCount(); ++i) {
      if (box.ItemText(i) == text) return CopyPage().ChooseItem(combo, i);
    }
    return ::testing::AssertionFailure() << combo << " does not offer " << text;
  }

  // Chooses the row of the restore list that shows `volume`.
  ::testing::AssertionResult ChooseRestoreRow(const std::string& volume) {
    HeadlessListView& list = RestorePage().GetListView(CRestoreHandler::kListView);
    auto* adapter = dynamic_cast<PartitionListAdapter*>(list.Adapter().get());
    if (adapter == nullptr) return ::testing::AssertionFailure() << "the list has no adapter";
    for (size_t row = 0; row < adapter->Rows().size(); ++row) {
      if (adapter->Rows()[row].volumeName == volume) {
        return RestorePage().ChooseRow(CRestoreHandler::kListView, static_cast<int>(row));
      }
    }
    return ::testing::AssertionFailure() << "the restore list does not show " << volume;
  }

  // Runs the clock a second at a time and delivers the worker events until
  // `done` holds (real time passes too: the engine and the checks run on
  // their own threads).
  ::testing::AssertionResult RunUntil(const std::function<bool()>& done,
                                      std::chrono::seconds timeout = std::chrono::seconds(120)) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) {
        return ::testing::AssertionFailure()
               << "timed out; the dialogs so far: " << ::testing::PrintToString(host_.ShownIds());
      }
      host_.Pump();
      if (done()) break;
      host_.Advance(std::chrono::seconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return ::testing::AssertionSuccess();
  }

  // Until a result dialog was shown.
  ::testing::AssertionResult RunToResult() {
    return RunUntil([this] {
      for (const auto& shown : host_.Shown()) {
        if (shown.resultDialog) return true;
      }
      return false;
    });
  }

  const headless::ShownDialog* LastResult() const {
    for (auto it = host_.Shown().rbegin(); it != host_.Shown().rend(); ++it) {
      if (it->resultDialog) return &*it;
    }
    return nullptr;
  }

  TempDir dir_;
  TestVolumes volumes_;
  std::vector<std::unique_ptr<AttachedDisk>> disks_;
  HeadlessHost host_;
  TaskPhase phase_;
  engine::TaskState state_;
  std::unique_ptr<CCopyHandler> copy_;
  std::unique_ptr<CRestoreHandler> restore_;
};

}  // namespace stow::ui::test
