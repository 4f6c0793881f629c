// The restore page on loop-device disks with real NTFS volumes: the open
// dialog and the image's system flag, each rule's message in order (the image
// surveyed and its checksum file checked as the command line does) with
// nothing written where a rule refuses, a data image restored to the result
// dialog, and a Windows image restored onto a GPT disk through the disk check
// and the boot repair of its EFI system partition.
#include "tests/ui/PageTestSupport.h"

#include <gmock/gmock.h>

#include <fstream>

#include "platform/System.h"
#include "tests/testlib/TreeCompare.h"
#include "tests/testlib/WindowsDisks.h"

namespace stow::ui::test {
namespace {

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

using Ids = std::vector<std::string>;

class RestorePageOnDisks : public PagesTest {
 protected:
  // An MBR disk: 1 primary, 5 and 6 logical, NTFS each; 5 holds data.
  AttachedDisk& DataDisk() {
    AttachedDisk& disk = Attach(MakeMbrLogicalDisk(dir_.Path()));
    NtfsMount mount(disk.Node(5), false);
    EXPECT_TRUE(mount.Ok()) << mount.Error();
    const CommandResult filled = Shell("cd " + Quote(mount.Path().string()) +
                                       " && head -c 2000000 /dev/urandom > data.bin && "
                                       "mkdir folder && echo text > folder/note.txt");
    EXPECT_EQ(filled.status, 0) << filled.output;
    return disk;
  }

  // Backs `volume` up into `name` in the test's folder with the command line.
  std::string Backup(const std::string& volume, const std::string& name, bool checksums = true) {
    const fs::path image = dir_ / name;
    std::vector<std::string> args{"backup", volume, image.string(), "--yes", "--quiet"};
    if (!checksums) args.emplace_back("--no-checksums");
    const CommandResult backup = RunCli(args);
    EXPECT_EQ(backup.status, 0) << backup.output;
    return image.string();
  }

  // Clicks start and delivers until the page's course has ended.
  Ids Start() {
    host_.ClearShown();
    EXPECT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
    EXPECT_TRUE(host_.PumpUntil([&] { return !restore_->CourseRunning(); }));
    return host_.ShownIds();
  }
};

TEST_F(RestorePageOnDisks, TheOpenDialogTakesAnImageAndItsSystemFlag) {
  AttachedDisk& disk = DataDisk();
  volumes_.tweak = [&](PartitionList& list) {
    for (PartitionInfo& info : list) info.systemVolume = info.volumeName == disk.Node(1);
  };
  MakePages();
  EXPECT_EQ(RestorePage().GetListView(CRestoreHandler::kListView).Adapter()->ItemCount(), 2)
      << "the running system's volume is not offered";
  const std::string image = Backup(disk.Node(5), "data.vmg");
  // A Windows image: the header's flag set by hand.
  const fs::path windows = dir_ / "windows.vmg";
  fs::copy_file(image, windows);
  {
    std::fstream file(windows, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1);
    file.put(1);
  }
  host_.QueueOpenFile(windows.string());
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kSelectFileButton));
  EXPECT_EQ(RestorePage().Get(CRestoreHandler::kPathEdit).Text(), windows.string());
  EXPECT_TRUE(restore_->ImageSystem());
  ASSERT_EQ(host_.OpenRequests().size(), 1u);
  EXPECT_EQ(host_.OpenRequests()[0].suffix, "vmg");
  // A file that is no image clears the flag; a cancelled dialog changes nothing.
  const fs::path text = dir_ / "notes.txt";
  WriteText(text, "not an image");
  host_.QueueOpenFile(text.string());
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kSelectFileButton));
  EXPECT_FALSE(restore_->ImageSystem());
  host_.QueueOpenFile(std::nullopt);
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kSelectFileButton));
  EXPECT_EQ(RestorePage().Get(CRestoreHandler::kPathEdit).Text(), text.string());
}

TEST_F(RestorePageOnDisks, EachRuleSpeaksInItsTurnAndNothingIsWritten) {
  AttachedDisk& disk = DataDisk();
  bool unknownKind = false;
  volumes_.tweak = [&](PartitionList& list) {
    for (PartitionInfo& info : list) {
      if (unknownKind && info.volumeName == disk.Node(6)) info.mbrKind = discovery::kMbrKindUnknown;
    }
  };
  MakePages();
  const std::string image = Backup(disk.Node(5), "data.vmg");
  const std::string bare = Backup(disk.Node(5), "bare.vmg", false);
  const std::string before = ReadText(disk.Node(6));
  auto type = [&](const std::string& path) {
    ASSERT_TRUE(RestorePage().TypeText(CRestoreHandler::kPathEdit, path));
  };

  phase_.Set(Phase::kDiskCheck);
  EXPECT_EQ(Start(), Ids{"restoreThreadIsRunning"});
  phase_.Set(Phase::kIdle);
  EXPECT_EQ(Start(), Ids{"selectBackupPath"});
  type("a.v");  // three characters name no image
  EXPECT_EQ(Start(), Ids{"selectBackupPath"});
  const fs::path text = dir_ / "notes.txt";
  WriteText(text, "not an image");
  type(text.string());
  EXPECT_EQ(Start(), Ids{"backupFileError"});
  type(image);
  volumes_.change = [](PartitionList& list) { list.pop_back(); };  // a volume went away
  EXPECT_EQ(Start(), Ids{"partitionInfoHaveChanged"});
  volumes_.change = nullptr;
  EXPECT_EQ(Start(), Ids{"choosedestance"});
  ASSERT_TRUE(ChooseRestoreRow(disk.Node(6)));

  // More than the destination holds: the image and a tenth.
  const fs::path padded = dir_ / "padded.vmg";
  fs::copy_file(image, padded);
  fs::resize_file(padded, 15ull << 20);
  type(padded.string());
  EXPECT_EQ(Start(), Ids{"diskSpaceNotEnough"});
  // An image cut short: surveyed as the command line surveys it.
  const fs::path cut = dir_ / "cut.vmg";
  fs::copy_file(image, cut);
  fs::resize_file(cut, fs::file_size(image) - 4096);
  type(cut.string());
  EXPECT_EQ(Start(), Ids{"imageDamaged"});
  // A checksum file that belongs to another image.
  const fs::path other = dir_ / "other.vmg";
  fs::copy_file(bare, other);
  fs::copy_file(image + ".sums", other.string() + ".sums");
  {
    std::fstream file(other, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(0);
    file.put('Q');  // another source letter in the header
  }
  type(other.string());
  EXPECT_EQ(Start(), Ids{"checksumFileUnusable"});

  // A partition of unknown kind: asked; accepted, the image without a checksum
  // file is warned about before the question, which is declined.
  unknownKind = true;
  restore_->Init();
  ASSERT_TRUE(ChooseRestoreRow(disk.Node(6)));
  type(bare);
  host_.QueueAnswer("cannotAsSystem", kIdCancel);
  EXPECT_EQ(Start(), Ids{"cannotAsSystem"});
  host_.QueueAnswer("cannotAsSystem", kIdOk);
  host_.QueueAnswer("confirmRestorePartition", kIdCancel);
  EXPECT_EQ(Start(), (Ids{"cannotAsSystem", "noticeNoChecksumFile", "confirmRestorePartition"}));
  EXPECT_EQ(host_.Shown().back().text, "Are you sure to restore the file to " + disk.Node(6) +
                                           "?\nNotice! This operation will format " + disk.Node(6) +
                                           " partition.");
  EXPECT_TRUE(ReadText(disk.Node(6)) == before) << "a refused restore wrote the destination";
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_FALSE(platform::ProcessHoldsTaskLock(disk.Node(6)));
}

TEST_F(RestorePageOnDisks, ASystemImageForAGptDiskWithoutFatFormatsThenSplitsAndStartsAgain) {
  AttachedDisk& data = DataDisk();
  AttachedDisk& gpt = Attach(MakeGptNtfsDisk(dir_.Path()));
  std::vector<std::string> splits;
  std::string formattedBeforeSplit;
  DestinationPageParts parts;
  parts.split = [&](const PartitionInfo& destination) {
    splits.push_back(destination.volumeName);
    // What the split finds: the destination already formatted, empty.
    const CommandResult info = stow::test::Run({"ntfsinfo", "-m", destination.volumeName});
    formattedBeforeSplit = info.status == 0 ? "formatted" : info.output;
    return tasks::SplitOutcome{true, ToInt(tasks::kSplitDone), {}};
  };
  MakePages(parts);
  // A system image: a data image whose header says Windows.
  const std::string image = Backup(data.Node(5), "system.vmg", false);
  {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1);
    file.put(1);
  }
  ASSERT_TRUE(RestorePage().TypeText(CRestoreHandler::kPathEdit, image));
  ASSERT_TRUE(ChooseRestoreRow(gpt.Node(1)));
  // Its old contents, to see the format.
  ASSERT_EQ(Shell("ntfslabel " + Quote(gpt.Node(1)) + " before-split").status, 0);
  host_.QueueAnswer("GPTsplitFAT", kIdOk);
  // The disk still has no FAT partition after the split: refused, not asked
  // again, and the page shows the disk as it is now.
  EXPECT_EQ(Start(), (Ids{"GPTsplitFAT", kSplitFailedId}));
  EXPECT_TRUE(restore_->ImageSystem());
  EXPECT_EQ(RestorePage().TimesLocked(), 1);
  EXPECT_THAT(RestorePage().Get("prog_text_restore").Texts(),
              ::testing::Contains("Making a boot partition beside " + gpt.Node(1) +
                                  ", please wait..."));
  EXPECT_EQ(splits, Ids{gpt.Node(1)});
  EXPECT_EQ(formattedBeforeSplit, "formatted");
  EXPECT_EQ(Shell("ntfslabel " + Quote(gpt.Node(1))).output, "\n")
      << "formatted before the split: the old label is gone";
  EXPECT_EQ(restore_->Volumes().size(), 5u);
  EXPECT_TRUE(phase_.IsIdle());
}

TEST_F(RestorePageOnDisks, ADataImageIsRestoredToTheResultDialog) {
  AttachedDisk& disk = DataDisk();
  MakePages();
  const std::string image = Backup(disk.Node(5), "data.vmg");
  ASSERT_TRUE(RestorePage().TypeText(CRestoreHandler::kPathEdit, image));
  ASSERT_TRUE(ChooseRestoreRow(disk.Node(6)));
  host_.QueueAnswer("confirmRestorePartition", kIdOk);
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
  ASSERT_TRUE(host_.PumpUntil([&] { return state_.AnyWorkerRunning() || !restore_->CourseRunning(); }));
  EXPECT_EQ(host_.ShownIds(), Ids{"confirmRestorePartition"});
  EXPECT_EQ(RestorePage().TimesLocked(), 1) << "locked while the destination is formatted";
  EXPECT_FALSE(RestorePage().IsLocked());
  EXPECT_EQ(phase_.Get(), Phase::kRestore);
  EXPECT_TRUE(RestorePage().IsTimerRunning(CRestoreHandler::kProgressTimer));
  EXPECT_FALSE(RestorePage().Get(CRestoreHandler::kPathEdit).IsEnabled());
  EXPECT_TRUE(RestorePage().Get(CRestoreHandler::kCancelButton).IsEnabled());
  // The copy page refuses meanwhile, with its own message.
  ASSERT_TRUE(ChooseCopyItem(CCopyHandler::kSource, disk.Node(5)));
  ASSERT_TRUE(CopyPage().Click(CCopyHandler::kStartButton));
  EXPECT_EQ(host_.ShownIds().back(), "copyThreadIsRunning");

  ASSERT_TRUE(RunToResult());
  EXPECT_THAT(RestorePage().Get("prog_text_restore").Texts(),
              ::testing::IsSupersetOf({"100%", "Checking disk, please wait..."}));
  EXPECT_EQ(LastResult()->imageSkin, kSuccessImageSkin);
  EXPECT_EQ(RestorePage().Get("prog_text_restore").Text(),
            "The partition is restored successfully.");
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_TRUE(RestorePage().Get(CRestoreHandler::kStartButton).IsEnabled());
  EXPECT_TRUE(CompareNtfsVolumes(disk.Node(5), disk.Node(6)).empty());
}

TEST_F(RestorePageOnDisks, AWindowsImageIsRestoredOntoAGptDiskAndMadeBootable) {
  if (!fs::exists(fs::path(platform::ProgramDirectory()) / "BCDFile" / "Boot" / "BCD")) {
    GTEST_SKIP() << "the BCD templates were not built beside the tests";
  }
  WindowsDisk gpt = MakeWindowsGptDisk(dir_.Path(), 24);
  ASSERT_TRUE(gpt.Ok()) << gpt.error;
  volumes_.devices.push_back(gpt.loop->Device());
  MakePages();
  const std::string image = Backup(gpt.Node(2), "windows.vmg");
  host_.QueueOpenFile(image);
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kSelectFileButton));
  EXPECT_TRUE(restore_->ImageSystem());
  ASSERT_TRUE(ChooseRestoreRow(gpt.Node(3)));
  host_.QueueAnswer("confirmRestorePartition", kIdOk);
  ASSERT_TRUE(RestorePage().Click(CRestoreHandler::kStartButton));
  ASSERT_TRUE(RunToResult());
  EXPECT_THAT(RestorePage().Get("prog_text_restore").Texts(),
              ::testing::Contains("Copying BCD, please wait..."));
  EXPECT_EQ(LastResult()->imageSkin, kSuccessImageSkin) << LastResult()->text;
  EXPECT_EQ(RestorePage().Get("prog_text_restore").Text(), "The restoration is completed.");
  EXPECT_TRUE(phase_.IsIdle());
  EXPECT_EQ(
      CheckBootPartition(gpt.Node(1), true, ExpectedPartitionDevice(gpt.table, gpt.Node(3)), true),
      "");
}

}  // namespace
}  // namespace stow::ui::test
