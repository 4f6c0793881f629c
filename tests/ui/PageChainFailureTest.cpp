// The chain after a copy failing in the page: a destination that another
// holder takes after the disk check ends the task at the disk check, and a
// Windows copy between volume files the inventory is made to list, whose boot
// partition cannot be made active, ends it at the boot repair; each with its
// own text, the failure dialog, the phase back to idle and the page unlocked.
#include <atomic>

#include "platform/BlockDevice.h"
#include "tests/ui/PageTestSupport.h"

#include <gmock/gmock.h>

namespace stow::ui::test {
namespace {

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

constexpr uint64_t kVolumeBytes = 32ull << 20;

class PageChainFailure : public PagesTest {
 protected:
  // A source and a destination volume file, listed by the inventory as two
  // primary partitions of one MBR disk.
  void MakeVolumes(const std::string& fill) {
    source_ = (dir_ / "source.img").string();
    destination_ = (dir_ / "destination.img").string();
    ASSERT_NO_FATAL_FAILURE(MakeFilledNtfsVolume(source_, kVolumeBytes, fill));
    MakeSparseFile(destination_, kVolumeBytes);
    volumes_.tweak = [this](PartitionList& list) {
      uint32_t number = 1;
      for (const std::string& file : {source_, destination_}) {
        PartitionInfo info;
        info.volumeName = file;
        info.fileSystemName = "NTFS";
        info.totalBytes = kVolumeBytes;
        info.diskNumber = 1999;
        info.partitionNumber = number++;
        info.partitionStyle = platform::kStyleMbr;
        info.mbrKind = discovery::kMbrKindPrimary;
        list.push_back(info);
      }
    };
  }

  void StartCopy() {
    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, source_));
    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, destination_));
    host_.QueueAnswer("confirmcopy", kIdOk);
    ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  }

  void ExpectFailedEnd(const std::string& textStart) {
    ASSERT_NE(LastResult(), nullptr);
    EXPECT_EQ(LastResult()->imageSkin, kErrorImageSkin);
    EXPECT_EQ(LastResult()->caption, "Task failed to run!!!");
    EXPECT_EQ(LastResult()->text.rfind(textStart, 0), 0u) << LastResult()->text;
    EXPECT_EQ(CopyPage().Get("prog_text_copy").Text(), LastResult()->text);
    EXPECT_TRUE(phase_.IsIdle());
    EXPECT_TRUE(CopyPage().Get(CCopyHandler::kStartButton).IsEnabled());
    EXPECT_FALSE(CopyPage().Get(CCopyHandler::kCancelButton).IsEnabled());
    EXPECT_FALSE(CopyPage().IsTimerRunning(CCopyHandler::kProgressTimer));
  }

  std::string source_;
  std::string destination_;
};

TEST_F(PageChainFailure, ADestinationHeldAfterTheCheckEndsTheTaskThere) {
  // Partitions of a disk: a device held exclusively elsewhere cannot be opened
  // so (a volume file has no such hold to test).
  AttachedDisk& disk = Attach(MakeMbrLogicalDisk(dir_.Path()));
  source_ = disk.Node(5);
  destination_ = disk.Node(6);
  // Another holder takes the destination once the checker has run, so that it
  // never reopens; the pauses between the attempts pass at once.
  std::unique_ptr<platform::BlockDevice> holder;
  std::atomic<int> held{-1};
  DestinationPageParts parts;
  parts.diskCheck = [&](bootrepair::DiskCheckOptions& options) {
    options.checked = [&](const bootrepair::VolumeCheckResult&) {
      if (platform::OpenBlockDevice(destination_, true, holder) == 0) held = holder->Lock();
    };
    options.pause = [](std::chrono::milliseconds) {};
  };
  MakePages(parts);
  StartCopy();
  ASSERT_TRUE(RunToResult());
  EXPECT_EQ(held, 0) << "the destination was not held";
  ExpectFailedEnd(destination_ + " could not be opened again after the disk check");
  holder.reset();
}

TEST_F(PageChainFailure, ABootPartitionThatCannotBeMadeActiveEndsTheTaskAtTheRepair) {
  ASSERT_NO_FATAL_FAILURE(
      MakeVolumes("mkdir -p Windows/System32 && echo x > Windows/System32/kernel.txt"));
  MakePages();
  StartCopy();
  ASSERT_TRUE(RunToResult());
  EXPECT_TRUE(copy_->CopySystem());
  EXPECT_THAT(CopyPage().Get("prog_text_copy").Texts(),
              ::testing::Contains("Copying BCD, please wait..."));
  // A volume file is no partition of a disk: it cannot be made active.
  ExpectFailedEnd("Fail to copy BCD. error code：");
}

}  // namespace
}  // namespace stow::ui::test
