// The steps after a copy or restore as the courses run them: the disk check
// with its waiting texts and their dots, a destination that never reopens or
// is damaged, a data volume, a Windows volume with no partition for the boot
// files, a boot repair that cannot activate and one whose boot files cannot
// all be copied.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "discovery/PartitionInfo.h"
#include "support/Format.h"
#include "support/StringTable.h"
#include "tasks/Courses.h"
#include "tasks/RepairSteps.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using tasks::CourseEnd;
using tasks::StepCode;

constexpr const char* kChecking = "Checking disk, please wait...";
constexpr const char* kCopyingBcd = "Copying BCD, please wait...";

// Records the waiting texts; each pause of the disk check waits until the
// chain has shown one more text, so the texts are seen whatever the speed.
class WaitingTexts {
 public:
  void Show(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    texts_.push_back(text);
    shown_.notify_all();
  }
  void WaitForOneMore() {
    std::unique_lock<std::mutex> guard(lock_);
    const size_t seen = texts_.size();
    shown_.wait(guard, [&] { return texts_.size() > seen; });
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> guard(lock_);
    return texts_;
  }
  bool Shown(const char* text) {
    for (const std::string& t : Texts()) {
      if (t.rfind(text, 0) == 0) return true;
    }
    return false;
  }

 private:
  std::mutex lock_;
  std::condition_variable shown_;
  std::vector<std::string> texts_;
};

// A front end that shows the waiting texts to `texts` and answers yes.
class WaitingFrontEnd final : public tasks::TaskFrontEnd {
 public:
  explicit WaitingFrontEnd(WaitingTexts& texts) : texts_(texts) {}
  bool Ask(const std::string&, const std::string&) override { return true; }
  void Tell(const std::string&, const std::string&) override {}
  bool Progress(const tasks::StepProgress& progress) override {
    if (!progress.waiting.empty()) texts_.Show(progress.waiting);
    return true;
  }

 private:
  WaitingTexts& texts_;
};

// Runs the steps after the engine of a task of `kind` onto `destination`,
// with `list` as the inventory.
CourseEnd RunRepairSteps(engine::TaskKind kind, const fs::path& destination,
                         const discovery::PartitionList& list, WaitingTexts& texts,
                         const bootrepair::DiskCheckOptions& diskCheck = {}) {
  tasks::TaskDescription task;
  task.kind = kind;
  task.destination = destination.string();
  tasks::CourseParts parts;
  parts.inventory = [list](discovery::PartitionList& out) { out = list; };
  parts.tick = std::chrono::milliseconds(1);
  parts.dotPeriod = std::chrono::milliseconds(1);
  parts.diskCheck = diskCheck;
  engine::TaskState state;
  auto working = std::make_unique<tasks::CourseState>(task, state, parts);
  working->request.kind = kind;
  working->request.destination = platform::VolumeId(destination.string());
  tasks::Course course(std::move(working), tasks::RepairSteps());
  WaitingFrontEnd frontEnd(texts);
  return course.Run(frontEnd);
}

TEST(RepairSteps, ADestinationThatNeverReopensEndsTheCourseAndItsDotsCycle) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  LogCapture log;
  TempDir dir;
  // A sound volume, so that the check passes, held by someone else throughout.
  const fs::path volume = dir / "held.img";
  MakeSparseFile(volume, 16ull << 20);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", volume.string()}).status, 0);
  std::unique_ptr<platform::BlockDevice> holder;
  ASSERT_EQ(platform::OpenBlockDevice(volume.string(), true, holder), 0);
  ASSERT_EQ(holder->Lock(), 0);
  WaitingTexts waiting;
  bootrepair::DiskCheckOptions diskCheck;
  diskCheck.pause = [&](std::chrono::milliseconds) { waiting.WaitForOneMore(); };
  const CourseEnd end =
      RunRepairSteps(engine::TaskKind::kCopy, volume, {}, waiting, diskCheck);
  EXPECT_EQ(end.status.Code(), StepCode::kNotReopened);
  EXPECT_EQ(end.step, "disk check");
  EXPECT_EQ(end.status.text.rfind(
                volume.string() + " could not be opened again after the disk check", 0),
            0u)
      << end.status.text;

  const std::vector<std::string> texts = waiting.Texts();
  ASSERT_GE(texts.size(), 60u);
  int dots = 0;
  EXPECT_EQ(texts[0], kChecking);
  for (size_t i = 1; i < texts.size(); ++i) {
    dots = dots == tasks::kMaxWaitingDots ? 0 : dots + 1;
    EXPECT_EQ(texts[i], kChecking + std::string(static_cast<size_t>(dots), '.')) << i;
    if (texts[i].find("Copying") != std::string::npos) ADD_FAILURE() << "no boot repair";
  }
}

TEST(RepairSteps, ADamagedDestinationFailsTheCheckWithTheCheckersWords) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  TempDir dir;
  const fs::path volume = dir / "damaged.img";
  MakeSparseFile(volume, 16ull << 20);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", volume.string()}).status, 0);
  DamageMftAndMirror(volume);
  int pauses = 0;
  bootrepair::DiskCheckOptions diskCheck;
  diskCheck.pause = [&](std::chrono::milliseconds) { ++pauses; };
  WaitingTexts waiting;
  const CourseEnd end =
      RunRepairSteps(engine::TaskKind::kRestore, volume, {}, waiting, diskCheck);
  EXPECT_EQ(end.status.Code(), StepCode::kDiskCheckFailed);
  EXPECT_EQ(end.status.text, "The disk check of " + volume.string() +
                                 " failed: ntfsfix ended with status 1 (Volume is corrupt. You "
                                 "should run chkdsk.). The data was written, but the file system "
                                 "may be damaged: do not use it as it is; check it with chkdsk /f "
                                 "in Windows, or run the task again.");
  EXPECT_EQ(pauses, 0) << "a damaged volume is not waited for";
}

class RepairStepsOnImages : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g", "ntfsfix"}), false, true);
  }

  // An NTFS image; with `windows` it holds Windows/System32.
  fs::path MakeVolume(const std::string& name, bool windows) {
    const fs::path image = dir_ / name;
    MakeSparseFile(image, 24ull << 20);
    EXPECT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", image.string()}).status, 0);
    if (windows) {
      NtfsMount mount(image.string(), false);
      EXPECT_TRUE(mount.Ok()) << mount.Error();
      fs::create_directories(mount.Path() / "Windows" / "System32");
    }
    return image;
  }

  // Runs the steps after a copy onto `image` while the inventory claims it is
  // a primary MBR partition of a disk that does not exist: the files are
  // placed, the activation fails.
  CourseEnd RepairOnUnactivatableDisk(const fs::path& image) {
    discovery::PartitionInfo info;
    info.volumeName = image.string();
    info.diskNumber = 1999;
    info.partitionNumber = 1;
    info.partitionStyle = platform::kStyleMbr;
    info.mbrKind = discovery::kMbrKindPrimary;
    return RunRepairSteps(engine::TaskKind::kCopy, image, {info}, waiting_);
  }

  TempDir dir_;
  WaitingTexts waiting_;
};

TEST_F(RepairStepsOnImages, ADataVolumeIsCheckedAndNeedsNoBootFiles) {
  const fs::path data = MakeVolume("data.img", false);
  for (const engine::TaskKind kind : {engine::TaskKind::kCopy, engine::TaskKind::kRestore}) {
    const CourseEnd end = RunRepairSteps(kind, data, {}, waiting_);
    EXPECT_TRUE(end.Ok()) << end.status.text;
  }
  EXPECT_TRUE(waiting_.Shown(kChecking));
  EXPECT_FALSE(waiting_.Shown(kCopyingBcd));
}

// Once reported as a success with a notice; the system on it would not start.
TEST_F(RepairStepsOnImages, AWindowsVolumeWithoutABootPartitionFailsTheBootFiles) {
  const fs::path windows = MakeVolume("windows.img", true);
  const CourseEnd end = RunRepairSteps(engine::TaskKind::kCopy, windows, {}, waiting_);
  EXPECT_EQ(end.status.Code(), StepCode::kRepairFailed);
  EXPECT_EQ(end.step, "boot files");
  EXPECT_EQ(end.status.text, FormatText(LoadText("noBootPartition"), {windows.string()}));
  EXPECT_FALSE(waiting_.Shown(kCopyingBcd));
}

TEST_F(RepairStepsOnImages, ABootRepairThatCannotActivateFailsTheCopyWithItsCode) {
  // The inventory claims the image is a primary MBR partition: the repair
  // places the files on it but finds no disk to activate it on.
  const fs::path image = MakeVolume("windows.img", true);
  const CourseEnd end = RepairOnUnactivatableDisk(image);
  EXPECT_EQ(end.status.Code(), StepCode::kRepairFailed);
  EXPECT_EQ(end.step, "activation");
  EXPECT_EQ(end.status.text, "Fail to copy BCD. error code：2");
  EXPECT_TRUE(waiting_.Shown(kCopyingBcd));
  NtfsMount mount(image.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(fs::exists(mount.Path() / "Boot" / "BCD")) << "the files were placed all the same";
}

TEST_F(RepairStepsOnImages, ABootFileThatCannotBeCopiedFailsTheRepairAheadOfTheActivation) {
  LogCapture log;
  // A folder where the UEFI store must go: that one store cannot be copied.
  // The inventory claims a primary MBR partition, whose activation fails too.
  const fs::path image = MakeVolume("windows.img", true);
  {
    NtfsMount mount(image.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    fs::create_directories(mount.Path() / "EFI" / "Microsoft" / "Boot" / "BCD" / "in-the-way");
  }
  const CourseEnd end = RepairOnUnactivatableDisk(image);
  EXPECT_EQ(end.status.Code(), StepCode::kRepairFailed);
  EXPECT_EQ(end.step, "boot files") << "told ahead of the activation";
  EXPECT_EQ(end.status.text, "Fail to copy BCD. error code：3");
  EXPECT_EQ(log.Count("mycopy file eror : "), 1) << log.All();
  EXPECT_EQ(log.Count("1 of 2 files not copied"), 1) << log.All();
  EXPECT_EQ(log.Count("Change BCD finish! part style 0"), 1) << "the set was placed to the end";
  NtfsMount mount(image.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(fs::exists(mount.Path() / "Boot" / "BCD")) << "the other store was placed";
  EXPECT_TRUE(fs::is_directory(mount.Path() / "EFI" / "Microsoft" / "Boot" / "BCD" / "in-the-way"));
}

}  // namespace
}  // namespace stow::test
