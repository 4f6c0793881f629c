// The copy page on loop-device disks with real NTFS volumes: its combo boxes
// from the inventory, each rule's message in order with nothing written where
// a rule refuses, the blocking preparation with the page locked, a data volume
// copied to the result dialog with the waiting dots and the phases under the
// test's clock, a Windows volume through the disk check and the boot repair,
// a cancelled copy that leaves an empty NTFS destination, and both pages
// refusing to start while a task runs.
#include "tests/ui/PageTestSupport.h"

#include <gmock/gmock.h>

#include "platform/System.h"
#include "tests/testlib/TreeCompare.h"
#include "tests/testlib/WindowsDisks.h"

namespace stow::ui::test {
namespace {

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

constexpr const char* kChecking = "Checking disk, please wait...";

// Fills the NTFS volume `node` through an ntfs-3g mount with the shell command `fill`.
void FillVolume(const std::string& node, const std::string& fill) {
  NtfsMount mount(node, false);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  const CommandResult filled = Shell("cd " + Quote(mount.Path().string()) + " && " + fill);
  ASSERT_EQ(filled.status, 0) << filled.output;
}

// The names of the files and folders in the root of the NTFS volume `node`.
std::vector<std::string> RootEntries(const std::string& node) {
  NtfsMount mount(node, true);
  EXPECT_TRUE(mount.Ok()) << mount.Error();
  std::vector<std::string> names;
  if (!mount.Ok()) return names;
  for (const auto& entry : fs::directory_iterator(mount.Path())) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class CopyPageOnDisks : public PagesTest {
 protected:
  // An MBR disk: 1 primary, 5 and 6 logical, NTFS each; 5 holds data.
  AttachedDisk& DataDisk(uint64_t ntfsMiB = 16) {
    DiskFixtureOptions options;
    options.ntfsMiB = ntfsMiB;
    AttachedDisk& disk = Attach(MakeMbrLogicalDisk(dir_.Path(), options));
    FillVolume(disk.Node(5),
               "head -c 3000000 /dev/urandom > data.bin && mkdir folder && "
               "echo text > folder/note.txt");
    return disk;
  }
};

TEST_F(CopyPageOnDisks, OffersEveryVolumeAsSourceAndNeverTheRunningSystemAsDestination) {
  AttachedDisk& disk = DataDisk();
  // The inventory's system flag on partition 1, as if the system ran from it.
  volumes_.tweak = [&](PartitionList& list) {
    for (PartitionInfo& info : list) info.systemVolume = info.volumeName == disk.Node(1);
  };
  MakePages();
  const auto& source = CopyPage().GetComboBox(CCopyHandler::kSource);
  const auto& destination = CopyPage().GetComboBox(CCopyHandler::kDestination);
  EXPECT_EQ(source.Items(), (std::vector<std::string>{disk.Node(1), disk.Node(5), disk.Node(6)}));
  EXPECT_EQ(source.CurSel(), 0) << "the running system's volume is proposed";
  EXPECT_TRUE(copy_->CopySystem());
  EXPECT_EQ(destination.Items(), (std::vector<std::string>{disk.Node(5), disk.Node(6)}));
  EXPECT_EQ(destination.CurSel(), ComboBox::kNoItem);
  EXPECT_EQ(CopyPage().GetListView(CCopyHandler::kListView).Adapter()->ItemCount(), 3);
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  EXPECT_FALSE(copy_->CopySystem()) << "the flag follows the source's system flag";
  EXPECT_TRUE(CopyPage().Get(CCopyHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(CopyPage().Get(CCopyHandler::kCancelButton).IsEnabled());
}

TEST_F(CopyPageOnDisks, EachRuleSpeaksInItsTurnAndNothingIsWritten) {
  AttachedDisk& disk = DataDisk();
  bool unknownKind = false;
  volumes_.tweak = [&](PartitionList& list) {
    for (PartitionInfo& info : list) {
      if (unknownKind && info.volumeName == disk.Node(6)) info.mbrKind = discovery::kMbrKindUnknown;
    }
  };
  MakePages();
  const std::string before = ReadText(disk.Node(6));
  auto start = [&] {
    host_.ClearShown();
    EXPECT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
    EXPECT_TRUE(host_.PumpUntil([&] { return !copy_->CourseRunning(); }));
    return host_.ShownIds();
  };
  using Ids = std::vector<std::string>;

  phase_.Set(Phase::kBackup);
  EXPECT_EQ(start(), Ids{"copyThreadIsRunning"});
  phase_.Set(Phase::kIdle);
  CopyPage().GetComboBox(CCopyHandler::kSource).SetCurSel(ComboBox::kNoItem);
  EXPECT_EQ(start(), Ids{"choosesource"});
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  EXPECT_EQ(start(), Ids{"choosedestance"});
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(5)));
  EXPECT_EQ(start(), Ids{"destEqualSour"});
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));

  // A volume came since the page was drawn: said, and the page drawn again.
  volumes_.change = [](PartitionList& list) {
    PartitionInfo plugged;
    plugged.volumeName = "/dev/new1";
    list.push_back(plugged);
  };
  const int adapters = CopyPage().GetListView(CCopyHandler::kListView).AdapterChanges();
  EXPECT_EQ(start(), Ids{"partitionInfoHaveChanged"});
  EXPECT_EQ(CopyPage().GetListView(CCopyHandler::kListView).AdapterChanges(), adapters + 1);
  EXPECT_EQ(CopyPage().GetComboBox(CCopyHandler::kDestination).CurSel(), ComboBox::kNoItem);
  volumes_.change = nullptr;
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));

  // The volume rules of every front end: a destination in use. Mounted, it
  // has a mount path the page did not show: drawn again, it is refused.
  auto drawAgain = [&] {
    copy_->Init();
    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
    ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));
  };
  {
    NtfsMount mounted(disk.Node(6), true);
    ASSERT_TRUE(mounted.Ok()) << mounted.Error();
    EXPECT_EQ(start(), Ids{"partitionInfoHaveChanged"});
    drawAgain();
    EXPECT_EQ(start(), Ids{"destinationInUse"});
  }
  drawAgain();

  // A destination the page does not list (a volume file typed in).
  const fs::path file = dir_ / "volume.img";
  MakeSparseFile(file, 16ull << 20);
  CopyPage().GetComboBox(CCopyHandler::kDestination).InsertItem(99, file.string());
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, file.string()));
  EXPECT_EQ(start(), Ids{"getpartitionerror"});
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));

  // A partition of unknown kind cannot start a system: asked, and declined.
  unknownKind = true;
  drawAgain();  // with what the inventory says now
  host_.QueueAnswer("cannotAsSystem", kIdCancel);
  EXPECT_EQ(start(), Ids{"cannotAsSystem"});
  // Accepted, the question of the copy itself follows; declined, nothing happens.
  host_.QueueAnswer("cannotAsSystem", kIdOk);
  host_.QueueAnswer("confirmcopy", kIdCancel);
  EXPECT_EQ(start(), (Ids{"cannotAsSystem", "confirmcopy"}));
  EXPECT_EQ(host_.Shown().back().text,
            "Are you sure to copy data from " + disk.Node(5) + " partition to " + disk.Node(6) +
                " partition?\nNotice! This operation will format " + disk.Node(6) + " partition.");
  EXPECT_TRUE(ReadText(disk.Node(6)) == before) << "a refused copy wrote the destination";
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_FALSE(state_.AnyWorkerRunning());
  EXPECT_FALSE(platform::ProcessHoldsTaskLock(disk.Node(6))) << "a declined course let go";
}

TEST_F(CopyPageOnDisks, ASystemGoesNeitherToTheRunningSystemsDiskNorUnsplitToAGptDisk) {
  WindowsDisk mbr = MakeWindowsMbrDisk(dir_.Path(), 24);
  ASSERT_TRUE(mbr.Ok()) << mbr.error;
  volumes_.devices.push_back(mbr.loop->Device());
  AttachedDisk& gpt = Attach(MakeGptNtfsDisk(dir_.Path()));
  bool systemOnMbr = true;
  volumes_.tweak = [&](PartitionList& list) {
    for (PartitionInfo& info : list) {
      info.systemVolume = systemOnMbr && info.volumeName == mbr.Node(5);
    }
  };
  std::vector<std::string> splits;
  DestinationPageParts parts;
  parts.split = [&](const PartitionInfo& destination) {
    splits.push_back(destination.volumeName);
    tasks::SplitOutcome outcome;
    outcome.ran = true;
    outcome.exitCode = ToInt(tasks::kSplitNoRoom);
    outcome.message = "the disk has no room left.";
    return outcome;
  };
  MakePages(parts);
  const std::string before = ReadText(mbr.Node(2));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, mbr.Node(1)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, mbr.Node(2)));
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  ASSERT_TRUE(host_.PumpUntil([&] { return !copy_->CourseRunning(); }));
  EXPECT_EQ(host_.ShownIds(), std::vector<std::string>{"copySysCanNotCurSysDisk"});
  EXPECT_TRUE(copy_->CopySystem()) << "the source holds Windows";
  EXPECT_TRUE(ReadText(mbr.Node(2)) == before);

  // To a GPT disk without a FAT partition: the split is asked for, declined,
  // then accepted; a split that fails says why, and the copy does not start.
  systemOnMbr = false;
  copy_->Init();
  const std::string gptBefore = ReadText(gpt.Node(2));
  host_.ClearShown();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, mbr.Node(1)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, gpt.Node(2)));
  host_.QueueAnswer("GPTsplitFAT", kIdCancel);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  ASSERT_TRUE(host_.PumpUntil([&] { return !copy_->CourseRunning(); }));
  EXPECT_TRUE(splits.empty());
  host_.QueueAnswer("GPTsplitFAT", kIdOk);
  const int locked = CopyPage().TimesLocked();
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  EXPECT_EQ(phase_.Get(), Phase::kCopy) << "no other page starts meanwhile";
  EXPECT_FALSE(CopyPage().Click(CCopyHandler::kStartButton));
  ASSERT_TRUE(host_.PumpUntil([&] { return !copy_->CourseRunning(); }));
  EXPECT_EQ(CopyPage().TimesLocked(), locked + 1) << "the split runs with the page locked";
  EXPECT_FALSE(CopyPage().IsLocked());
  EXPECT_EQ(splits, std::vector<std::string>{gpt.Node(2)});
  EXPECT_EQ(host_.ShownIds(),
            (std::vector<std::string>{"GPTsplitFAT", "GPTsplitFAT", kSplitFailedId}));
  EXPECT_NE(host_.Shown().back().text.find("the disk has no room left."), std::string::npos)
      << host_.Shown().back().text;
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_TRUE(ReadText(gpt.Node(2)) == gptBefore);

  // A split that says it worked but left no FAT partition: refused, not asked again.
  parts.split = [&](const PartitionInfo& destination) {
    splits.push_back(destination.volumeName);
    return tasks::SplitOutcome{true, ToInt(tasks::kSplitDone), {}};
  };
  copy_.reset();
  MakePages(parts);
  host_.ClearShown();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, mbr.Node(1)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, gpt.Node(2)));
  host_.QueueAnswer("GPTsplitFAT", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  ASSERT_TRUE(host_.PumpUntil([&] { return !copy_->CourseRunning(); }));
  EXPECT_EQ(host_.ShownIds(), (std::vector<std::string>{"GPTsplitFAT", kSplitFailedId}));
  EXPECT_TRUE(ReadText(gpt.Node(2)) == gptBefore);
}

TEST_F(CopyPageOnDisks, ADataVolumeIsCopiedToTheResultDialogThroughItsPhases) {
  AttachedDisk& disk = DataDisk();
  MakePages();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));
  host_.QueueAnswer("confirmcopy", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  EXPECT_EQ(phase_.Get(), Phase::kCopy);
  // The format: the page is locked and says what it waits for; then the engine.
  ASSERT_TRUE(host_.PumpUntil([&] { return state_.AnyWorkerRunning() || !copy_->CourseRunning(); }));
  EXPECT_EQ(CopyPage().TimesLocked(), 1);
  EXPECT_THAT(CopyPage().Get("prog_text_copy").Texts(),
              ::testing::Contains("Formatting " + disk.Node(6) + ", please wait..."));
  EXPECT_FALSE(CopyPage().IsLocked());
  EXPECT_TRUE(CopyPage().IsTimerRunning(CCopyHandler::kProgressTimer));
  EXPECT_FALSE(CopyPage().Get(CCopyHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(CopyPage().Get(CCopyHandler::kSource).IsEnabled());
  EXPECT_TRUE(CopyPage().Get(CCopyHandler::kCancelButton).IsEnabled());

  // The engine's end: "100%", then the disk check with its waiting text.
  ASSERT_TRUE(RunToResult());
  EXPECT_EQ(CopyPage().GetProgressBar("prog_copy").Value(), 100);
  EXPECT_THAT(CopyPage().Get("prog_text_copy").Texts(), ::testing::Contains("100%"));
  EXPECT_THAT(CopyPage().Get("prog_text_copy").Texts(), ::testing::Contains(kChecking));
  EXPECT_THAT(CopyPage().Get("text_total_size_copy").Text(),
              ::testing::MatchesRegex("0\\.0[0-9] GB"));
  EXPECT_THAT(CopyPage().Get("text_had_copyed_size_copy").Text(),
              ::testing::MatchesRegex("[0-9]+\\.[0-9][0-9] MB"));
  EXPECT_THAT(CopyPage().Get("text_had_used_time_copy").Text(),
              ::testing::MatchesRegex("00:0[0-9]:[0-5][0-9]"));
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_FALSE(CopyPage().IsTimerRunning(CCopyHandler::kProgressTimer));
  EXPECT_EQ(CopyPage().Get("prog_text_copy").Text(), "The partition is copied successfully.");
  ASSERT_NE(LastResult(), nullptr);
  EXPECT_EQ(LastResult()->imageSkin, kSuccessImageSkin);
  EXPECT_EQ(LastResult()->caption, "Mission completed!");
  EXPECT_TRUE(CopyPage().Get(CCopyHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(CopyPage().Get(CCopyHandler::kCancelButton).IsEnabled());
  EXPECT_TRUE(CompareNtfsVolumes(disk.Node(5), disk.Node(6)).empty());
  EXPECT_FALSE(platform::ProcessHoldsTaskLock(disk.Node(6)));
}

TEST_F(CopyPageOnDisks, ACancelledCopyLeavesAnEmptyNtfsDestinationAndBothPagesWaitMeanwhile) {
  AttachedDisk& disk = DataDisk(96);
  FillVolume(disk.Node(5), "head -c 70000000 /dev/urandom > big.bin");
  MakePages();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, disk.Node(6)));
  host_.QueueAnswer("confirmcopy", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  // While the destination is formatted, the restore page refuses.
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
  EXPECT_EQ(host_.ShownIds().back(), "restoreThreadIsRunning");
  ASSERT_TRUE(host_.PumpUntil([&] { return state_.AnyWorkerRunning(); }));
  host_.QueueAnswer("confirmStopOperate", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kCancelButton));
  // Until the task has ended, neither page starts another.
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
  EXPECT_EQ(host_.ShownIds().back(), "restoreThreadIsRunning");
  CopyPage().Get(CCopyHandler::kStartButton).SetEnabled(true);  // as if clicked at once
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  EXPECT_EQ(host_.ShownIds().back(), "copyThreadIsRunning");

  ASSERT_TRUE(RunToResult());
  EXPECT_EQ(LastResult()->imageSkin, kErrorImageSkin);
  EXPECT_NE(LastResult()->text.find("stop"), std::string::npos) << LastResult()->text;
  EXPECT_EQ(CopyPage().Get("prog_text_copy").Text(), "0%");
  EXPECT_EQ(CopyPage().GetProgressBar("prog_copy").Value(), 0);
  EXPECT_EQ(CopyPage().Get("text_leave_time_copy").Text(), "0 Sec");
  EXPECT_TRUE(phase_.IsIdle());
  host_.Pump();  // the controls come back with the task-over event
  EXPECT_TRUE(CopyPage().Get(CCopyHandler::kStartButton).IsEnabled());
  EXPECT_FALSE(CopyPage().Get(CCopyHandler::kCancelButton).IsEnabled());
  // The destination is an empty NTFS volume again: only the file system's own files.
  const CommandResult info = stow::test::Run({"ntfsinfo", "-m", disk.Node(6)});
  EXPECT_EQ(info.status, 0) << info.output;
  for (const std::string& name : RootEntries(disk.Node(6))) {
    EXPECT_TRUE(name.rfind("$", 0) == 0 || name == "System Volume Information") << name;
  }
  // Cancel after the end asks nothing.
  CopyPage().Get(CCopyHandler::kCancelButton).SetEnabled(true);
  const size_t shown = host_.Shown().size();
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kCancelButton));
  EXPECT_EQ(host_.Shown().size(), shown);
}

TEST_F(CopyPageOnDisks, AWindowsVolumeIsCheckedAndMadeBootable) {
  WindowsDisk mbr = MakeWindowsMbrDisk(dir_.Path(), 24);
  ASSERT_TRUE(mbr.Ok()) << mbr.error;
  volumes_.devices.push_back(mbr.loop->Device());
  if (!fs::exists(fs::path(platform::ProgramDirectory()) / "BCDFile" / "Boot" / "BCD")) {
    GTEST_SKIP() << "the BCD templates were not built beside the tests";
  }
  MakePages();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, mbr.Node(1)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, mbr.Node(2)));
  host_.QueueAnswer("confirmcopy", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  ASSERT_TRUE(RunUntil([&] { return phase_.Get() == Phase::kBootRepair; }));
  ASSERT_TRUE(RunToResult());
  EXPECT_TRUE(copy_->CopySystem());
  EXPECT_THAT(CopyPage().Get("prog_text_copy").Texts(),
              ::testing::Contains("Copying BCD, please wait..."));
  EXPECT_EQ(LastResult()->imageSkin, kSuccessImageSkin) << LastResult()->text;
  EXPECT_EQ(CopyPage().Get("prog_text_copy").Text(), "The copy is completed.");
  EXPECT_TRUE(phase_.IsIdle());
  // The copy is its own boot partition: the boot files on it, pointing at it, and active.
  EXPECT_EQ(
      CheckBootPartition(mbr.Node(2), false, ExpectedPartitionDevice(mbr.table, mbr.Node(2)), true),
      "");
  SfdiskTable table;
  ASSERT_EQ(ReadSfdisk(mbr.loop->Device(), table), "");
  ASSERT_NE(table.Find(mbr.Node(2)), nullptr);
  EXPECT_TRUE(table.Find(mbr.Node(2))->bootable);
}

// The split script itself: a Windows volume copied to a GPT disk without an
// EFI system partition gets one split off its destination, and its boot files there.
TEST_F(CopyPageOnDisks, ASystemCopiedToAGptDiskWithoutFatGetsTheSplitAndItsBootFiles) {
  STOW_REQUIRE((std::vector<std::string>{"sgdisk", "mkfs.fat", "ntfsresize", "fsck.fat"}), true,
               true);
  if (!fs::exists(fs::path(platform::ProgramDirectory()) / "BCDFile" / "Boot" / "BCD")) {
    GTEST_SKIP() << "the BCD templates were not built beside the tests";
  }
  WindowsDisk mbr = MakeWindowsMbrDisk(dir_.Path(), 24);
  ASSERT_TRUE(mbr.Ok()) << mbr.error;
  volumes_.devices.push_back(mbr.loop->Device());
  DiskFixtureOptions options;
  options.ntfsMiB = 160;  // room for the 100 MiB EFI system partition and the copy
  AttachedDisk& gpt = Attach(MakeGptNtfsDisk(dir_.Path(), options));
  MakePages();
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, mbr.Node(1)));
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kDestination, gpt.Node(1)));
  host_.QueueAnswer("GPTsplitFAT", kIdOk);
  host_.QueueAnswer("confirmcopy", kIdOk);
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  // The split, then the start again by itself: now the question of the copy.
  ASSERT_TRUE(host_.PumpUntil([&] { return host_.Shown().size() >= 2; }));
  EXPECT_EQ(host_.ShownIds(), (std::vector<std::string>{"GPTsplitFAT", "confirmcopy"}))
      << host_.Shown().back().text;
  ASSERT_TRUE(RunToResult());
  EXPECT_EQ(LastResult()->imageSkin, kSuccessImageSkin) << LastResult()->text;
  EXPECT_EQ(CopyPage().Get("prog_text_copy").Text(), "The copy is completed.");
  SfdiskTable table;
  ASSERT_EQ(ReadSfdisk(gpt.loop->Device(), table), "");
  const std::string esp = gpt.Node(3);
  ASSERT_NE(table.Find(esp), nullptr) << "the EFI system partition takes the lowest free entry";
  EXPECT_EQ(CheckBootPartition(esp, true, ExpectedPartitionDevice(table, gpt.Node(1)), true), "");
}

}  // namespace
}  // namespace stow::ui::test
