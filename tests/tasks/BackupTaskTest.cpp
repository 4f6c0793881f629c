// The backup task's pieces without a volume of their own: the default image
// name, filling the string-table texts, where the image goes and what is
// refused, the result texts, and the progress step's arithmetic at its edges.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>

#include "support/Format.h"
#include "tasks/BackupTask.h"
#include "tasks/ProgressStep.h"
#include "tests/testlib/TestUtil.h"

namespace stow::tasks {
namespace {

namespace fs = std::filesystem;
using engine::TaskError;
using engine::TaskProgress;

constexpr uint64_t kMiB = 1024 * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

TEST(BackupTask, TheDefaultNameIsPrefixDateAndSuffix) {
  EXPECT_EQ(DefaultImageName({2020, 1, 5}), "Velmoras20200105.vmg");
  EXPECT_EQ(DefaultImageName({2019, 5, 17}), "Velmoras20190517.vmg");
  EXPECT_EQ(DefaultImageName({2031, 12, 31}), "Velmoras20311231.vmg");
  const CalendarDate today = Today();
  EXPECT_GE(today.year, 2020);
  EXPECT_GE(today.month, 1);
  EXPECT_LE(today.month, 12);
}

TEST(BackupTask, TextsTakeTheirArgumentsInOrder) {
  EXPECT_EQ(FormatText("Are you sure to backup %C partition as file %s?", {"/dev/sdb1", "/x.vmg"}),
            "Are you sure to backup /dev/sdb1 partition as file /x.vmg?");
  EXPECT_EQ(FormatText("%d%% of %s", {"37", "a"}), "37% of a");
  EXPECT_EQ(FormatText("%s and %s", {"one"}), "one and ");
  EXPECT_EQ(FormatText("ends in %", {}), "ends in %");
  EXPECT_EQ(FormatText("%x stays", {"unused"}), "%x stays");
}

TEST(BackupTask, AFolderReceivesTheDefaultName) {
  test::TempDir dir;
  EXPECT_EQ(ResolveImagePath(dir.Path().string(), {2020, 1, 5}),
            (dir.Path() / "Velmoras20200105.vmg").string());
  const std::string file = (dir.Path() / "mine.img").string();
  EXPECT_EQ(ResolveImagePath(file, {2020, 1, 5}), file);
}

TEST(BackupTask, ThePlanRefusesTargetsThatWouldDestroySomething) {
  test::TempDir dir;
  const fs::path source = dir / "source.img";
  std::ofstream(source) << "volume";
  BackupSource s;
  s.volume = platform::VolumeId(source.string());
  s.clusterSize = 4096;
  s.windows = true;
  BackupPlan plan;
  std::string why;

  EXPECT_EQ(PlanBackup(s, source.string(), {2020, 1, 5}, plan, why), kBackupImageOnSource);
  EXPECT_NE(why.find(source.string() + " is the volume " + source.string() + " itself"),
            std::string::npos)
      << why;
  // The same file under another name.
  fs::create_hard_link(source, dir / "other-name.vmg");
  EXPECT_EQ(PlanBackup(s, (dir / "other-name.vmg").string(), {2020, 1, 5}, plan, why),
            kBackupImageOnSource);
  fs::create_symlink(source, dir / "link.vmg");
  EXPECT_EQ(PlanBackup(s, (dir / "link.vmg").string(), {2020, 1, 5}, plan, why),
            kBackupImageOnSource);
  // A FIFO is refused by its kind at once: opening it would wait for a reader.
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(PlanBackup(s, (dir / "fifo").string(), {2020, 1, 5}, plan, why), kBackupImageInvalid);
  EXPECT_NE(why.find("is a FIFO, not a regular file"), std::string::npos) << why;
  EXPECT_EQ(PlanBackup(s, (dir / "missing" / "x.vmg").string(), {2020, 1, 5}, plan, why),
            kBackupImageInvalid);
  EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
  EXPECT_EQ(PlanBackup(s, "/dev/null", {2020, 1, 5}, plan, why), kBackupImageInvalid);
  EXPECT_NE(why.find("not a regular file"), std::string::npos) << why;

  ASSERT_EQ(PlanBackup(s, dir.Path().string(), {2020, 1, 5}, plan, why), kBackupCheckOk) << why;
  EXPECT_EQ(plan.imagePath, (dir.Path() / "Velmoras20200105.vmg").string());
  EXPECT_EQ(plan.header.letter, 0u);
  EXPECT_EQ(plan.header.windows, 1u);
  EXPECT_EQ(plan.header.clusterSize, 4096u);
  EXPECT_EQ(plan.header.marker, 0xFFFFu);
  EXPECT_GT(plan.freeBytes, 0u);

  // The new image is written beside an existing one, which keeps its space
  // until the new one is complete; the question says it will be replaced.
  const fs::path old = dir / "old.vmg";
  { std::ofstream(old) << std::string(1 << 20, 'x'); }
  BackupPlan fresh;
  ASSERT_EQ(PlanBackup(s, (dir / "new.vmg").string(), {2020, 1, 5}, fresh, why), kBackupCheckOk);
  EXPECT_FALSE(fresh.replacesFile);
  EXPECT_EQ(ConfirmBackupText(fresh), "Are you sure to backup " + source.string() +
                                          " partition as file " + (dir / "new.vmg").string() + "?");
  BackupPlan over;
  ASSERT_EQ(PlanBackup(s, old.string(), {2020, 1, 5}, over, why), kBackupCheckOk);
  EXPECT_TRUE(over.replacesFile);
  EXPECT_LT(over.freeBytes, fresh.freeBytes + (512u << 10));
  EXPECT_EQ(ConfirmBackupText(over), "Are you sure to backup " + source.string() +
                                         " partition as file " + old.string() +
                                         "?\nNotice! The existing file " + old.string() +
                                         " will be replaced once the new image is complete.");
}

TEST(BackupTask, SourcesThatAreNotNtfsVolumesAreRefusedWithTheReason) {
  test::TempDir dir;
  test::MakeSparseFile(dir / "zero.img", 1 << 20);
  BackupSource s;
  std::string why;
  EXPECT_EQ(CheckBackupSource(platform::VolumeId((dir / "zero.img").string()), s, why),
            kBackupSourceNotNtfs);
  EXPECT_NE(why.find("not an NTFS volume"), std::string::npos) << why;
  EXPECT_EQ(CheckBackupSource(platform::VolumeId((dir / "absent.img").string()), s, why),
            kBackupSourceUnopenable);
  EXPECT_NE(why.find("cannot open"), std::string::npos) << why;
}

TEST(BackupTask, ResultTextsComeFromTheStringTable) {
  EXPECT_EQ(BackupResultText(TaskError::kSuccess), "The backup is completed.");
  EXPECT_EQ(BackupResultText(TaskError::kManualStop), " The operation is stopped.");
  EXPECT_EQ(BackupResultText(TaskError::kSpaceNotEnough), "The disk space is not enough.");
  EXPECT_EQ(BackupResultText(TaskError::kImageCreateFailed),
            "The image file cannot be created. Choose a folder that you can write to, on a file "
            "system that is not read-only.");
  EXPECT_EQ(BackupResultText(TaskError::kSourceReadFailed), "The source volume could not be read.");
  EXPECT_EQ(BackupResultText(TaskError::kWriteFailed),
            "Writing failed. Make room on the target, or choose another one, and try again.");
}

// --- The progress step ---------------------------------------------------------

TaskProgress Running(uint64_t total, uint64_t done) {
  return {total, done, 0, TaskError::kRunning};
}

TEST(ProgressStep, TheEstimateStartsOnlyAtTheSecondTickWithData) {
  ProgressTracker tracker(100);
  ProgressView v = tracker.Step(Running(100 * kMiB, 0), 101);
  EXPECT_EQ(v.remainingText, "0 Sec");
  EXPECT_EQ(v.elapsedText, "00:00:01");
  EXPECT_EQ(v.percentText, "0 %");
  v = tracker.Step(Running(100 * kMiB, 10 * kMiB), 102);
  EXPECT_EQ(tracker.FirstDataTime(), 102u);
  EXPECT_EQ(v.remainingText, "0 Sec") << "the first second with data gives no rate yet";
  v = tracker.Step(Running(100 * kMiB, 20 * kMiB), 104);
  // 20 MiB in 2 s: 10 MiB/s, 80 MiB left.
  EXPECT_EQ(v.remainingText, "00:00:08");
  EXPECT_EQ(v.percent, 20);
  EXPECT_EQ(v.percentText, "20 %");
  // A tick whose rate rounds to 0 keeps the last estimate.
  ProgressTracker slow(0);
  slow.Step(Running(kGiB, 1), 10);
  EXPECT_EQ(slow.Step(Running(kGiB, 1), 20).remainingText, "0 Sec");
  // Bytes done back at 0 (a new task) forget the first-data time.
  tracker.Step(Running(100 * kMiB, 0), 105);
  EXPECT_EQ(tracker.FirstDataTime(), 0u);
}

TEST(ProgressStep, PercentagesStayWithinTheBarAndNeverOverflow) {
  EXPECT_EQ(Percentage(0, 0), 0);
  EXPECT_EQ(Percentage(5, 0), 0);
  EXPECT_EQ(Percentage(1, 3), 33);
  EXPECT_EQ(Percentage(99, 100), 99);
  EXPECT_EQ(Percentage(150, 100), 100) << "sparse runs can count past the total";
  EXPECT_EQ(Percentage(uint64_t{1} << 62, uint64_t{1} << 63), 50);
  EXPECT_EQ(Percentage(UINT64_MAX - 1, UINT64_MAX), 99);
  uint64_t seconds = 0;
  EXPECT_TRUE(RemainingSeconds(200, 100, 1, 3, seconds));
  EXPECT_EQ(seconds, 0u) << "done past the total leaves nothing to wait for";
  EXPECT_FALSE(RemainingSeconds(100, 200, 5, 5, seconds));
  EXPECT_FALSE(RemainingSeconds(100, 200, 9, 5, seconds)) << "a clock that went back";
  EXPECT_FALSE(RemainingSeconds(100, 200, 0, 5, seconds));

  ProgressTracker empty(10);
  const ProgressView v = empty.Step(Running(0, 0), 12);
  EXPECT_EQ(v.percent, 0);
  EXPECT_EQ(v.totalText, "0.00 GB");
}

TEST(ProgressStep, TimesAndSizesUseThePagesFormats) {
  EXPECT_EQ(FormatDuration(0), "00:00:00");
  EXPECT_EQ(FormatDuration(3725), "01:02:05");
  EXPECT_EQ(FormatDuration(100 * 3600), "100:00:00");
  EXPECT_EQ(FormatDoneSize(512 * 1024), "0.50 MB");
  EXPECT_EQ(FormatDoneSize(1023 * kMiB), "1023.00 MB");
  EXPECT_EQ(FormatDoneSize(1024 * kMiB), "1.00 GB");
  EXPECT_EQ(FormatDoneSize(5 * kGiB / 2), "2.50 GB");
  EXPECT_EQ(FormatTotalSize(3 * kGiB), "3.00 GB");
  EXPECT_EQ(FormatTotalSize(100 * kMiB), "0.10 GB");
  // A clock before the start shows no negative time.
  ProgressTracker tracker(50);
  EXPECT_EQ(tracker.Step(Running(kGiB, 0), 40).elapsedText, "00:00:00");
  ProgressTracker copy(0, kCopyPercentFormat);
  EXPECT_EQ(copy.Step(Running(100, 37), 1).percentText, "37%");
}

TEST(ProgressStep, TheEndShowsSuccessInFullAndFailureAsEmpty) {
  ProgressTracker tracker(0);
  // Success: everything counts as done although sparse runs and skipped
  // records left the counter lower.
  const ProgressView done = tracker.Step({2 * kGiB, 2 * kGiB, 7, TaskError::kSuccess}, 30);
  EXPECT_TRUE(done.finished);
  EXPECT_EQ(done.doneBytes, 2 * kGiB);
  EXPECT_EQ(done.percent, 100);
  EXPECT_EQ(done.percentText, "100%");
  EXPECT_EQ(done.doneText, "2.00 GB");

  const ProgressView failed = tracker.Step({2 * kGiB, kGiB, 3, TaskError::kManualStop}, 31);
  EXPECT_TRUE(failed.finished);
  EXPECT_EQ(failed.percent, 0);
  EXPECT_EQ(failed.percentText, "0%");
  EXPECT_EQ(failed.doneText, "0 G");
  EXPECT_EQ(failed.totalText, "0 G");
  EXPECT_EQ(failed.elapsedText, "0 Sec");
  EXPECT_EQ(failed.remainingText, "0 Sec");
}

}  // namespace
}  // namespace stow::tasks
