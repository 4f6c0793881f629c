// The chain after a copy or restore as the tasks run it: the event queue and
// its page filter, the waiting texts with their dots, and the chain's codes
// and texts for a disk check that fails, a data volume, a Windows volume with
// no partition for the boot files, a boot repair that cannot activate and one
// whose boot files cannot all be copied.
#include <gtest/gtest.h>

#include <climits>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "discovery/PartitionInfo.h"
#include "support/Enums.h"
#include "tasks/CopyTask.h"
#include "tasks/Events.h"
#include "tasks/RepairChain.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using tasks::PostTaskRequest;
using tasks::PostTaskResult;

constexpr const char* kChecking = "Checking disk, please wait...";
constexpr const char* kCopyingBcd = "Copying BCD, please wait...";

TEST(RepairEvents, QueueKeepsPostingOrderAcrossThreadsAndPagesFilterBySender) {
  tasks::EventQueue queue;
  constexpr int kPerThread = 200;
  std::thread a([&] {
    for (int i = 0; i < kPerThread; ++i) queue.Post({1, bootrepair::kEventDiskCheck, i, {}});
  });
  std::thread b([&] {
    for (int i = 0; i < kPerThread; ++i) queue.Post({2, bootrepair::kEventBootRepair, i, "b"});
  });
  a.join();
  b.join();
  int nextA = 0;
  int nextB = 0;
  while (auto event = queue.TryTake()) {
    int& next = event->sender == 1 ? nextA : nextB;
    EXPECT_EQ(event->value, next++) << "each poster's events arrive in its order";
  }
  EXPECT_EQ(nextA, kPerThread);
  EXPECT_EQ(nextB, kPerThread);
  EXPECT_FALSE(queue.Wait(std::chrono::milliseconds(1)).has_value());

  const bootrepair::EventThread forRestore{3, bootrepair::kEventDiskCheck, 0, "/x.vmg"};
  EXPECT_FALSE(tasks::EventIsFor(forRestore, 1)) << "the copy page declines the restore's event";
  EXPECT_TRUE(tasks::EventIsFor(forRestore, 3));
  const bootrepair::EventThread wide{0, 0x10002, 5, {}};
  EXPECT_EQ(wide.Kind(), bootrepair::kEventBootRepair) << "only the low 16 bits are the kind";
}

TEST(RepairEvents, AValueThatNamesNoResultIsAFailureNeverASuccess) {
  using bootrepair::BootRepairResult;
  using bootrepair::DiskCheckResult;
  for (const int32_t value : {0, 1, 2, 3, 4}) {
    EXPECT_EQ(ToInt(bootrepair::BootRepairResultOf(value)), value);
  }
  for (const int32_t value : {0, 1, 2}) {
    EXPECT_EQ(ToInt(bootrepair::DiskCheckResultOf(value)), value);
  }
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.destination = platform::VolumeId("/dev/sdz1");
  for (const int32_t value : {-1, 5, 0x10000, INT32_MIN, INT32_MAX}) {
    EXPECT_EQ(bootrepair::BootRepairResultOf(value), BootRepairResult::kNoProgramFolder) << value;
    EXPECT_EQ(tasks::BootRepairEnd(request, bootrepair::BootRepairResultOf(value)).code,
              tasks::kChainBootRepairFailed)
        << value;
    EXPECT_EQ(bootrepair::DiskCheckResultOf(value), DiskCheckResult::kVolumeNotReopened) << value;
    EXPECT_TRUE(tasks::DiskCheckEnd(request, bootrepair::DiskCheckResultOf(value), "").has_value())
        << value << ": the chain stops";
  }
}

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

 private:
  std::mutex lock_;
  std::condition_variable shown_;
  std::vector<std::string> texts_;
};

TEST(RepairChain, ADestinationThatNeverReopensEndsTheChainAndItsDotsCycle) {
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
  tasks::RepairChainOptions options;
  options.tick = std::chrono::milliseconds(1);
  options.progress = [&](const std::string& text) { waiting.Show(text); };
  options.diskCheck.pause = [&](std::chrono::milliseconds) { waiting.WaitForOneMore(); };
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.destination = platform::VolumeId(volume.string());
  const PostTaskResult result = tasks::RunRepairChain(request, options);
  EXPECT_EQ(result.code, tasks::kChainDiskCheckFailed);
  EXPECT_EQ(
      result.text.rfind(volume.string() + " could not be opened again after the disk check", 0), 0u)
      << result.text;

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

TEST(RepairChain, ADamagedDestinationFailsTheCheckWithTheCheckersWords) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  TempDir dir;
  const fs::path volume = dir / "damaged.img";
  MakeSparseFile(volume, 16ull << 20);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", volume.string()}).status, 0);
  DamageMftAndMirror(volume);
  tasks::RepairChainOptions options;
  options.tick = std::chrono::milliseconds(1);
  int pauses = 0;
  options.diskCheck.pause = [&](std::chrono::milliseconds) { ++pauses; };
  PostTaskRequest request;
  request.kind = engine::TaskKind::kRestore;
  request.destination = platform::VolumeId(volume.string());
  const PostTaskResult result = tasks::RunRepairChain(request, options);
  EXPECT_EQ(result.code, tasks::kChainDiskCheckDamaged);
  EXPECT_EQ(result.text, "The disk check of " + volume.string() +
                             " failed: ntfsfix ended with status 1 (Volume is corrupt. You "
                             "should run chkdsk.). The data was written, but the file system may "
                             "be damaged: do not use it as it is; check it with chkdsk /f in "
                             "Windows, or run the task again.");
  EXPECT_EQ(pauses, 0) << "a damaged volume is not waited for";
}

class ChainOnImages : public ::testing::Test {
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

  // Finishes a copy onto `image` while the inventory claims it is a primary MBR
  // partition of a disk that does not exist: the files are placed, the
  // activation fails.
  tasks::TaskOutcome FinishOnUnactivatableDisk(const fs::path& image) {
    discovery::PartitionInfo info;
    info.volumeName = image.string();
    info.diskNumber = 1999;
    info.partitionNumber = 1;
    info.partitionStyle = platform::kStyleMbr;
    info.mbrKind = discovery::kMbrKindPrimary;
    tasks::CopyPlan plan;
    plan.destination.volume = platform::VolumeId(image.string());
    return tasks::FinishCopy(plan, engine::TaskError::kSuccess,
                             tasks::MakeRepairChain(Options({info})));
  }

  tasks::RepairChainOptions Options(const discovery::PartitionList& list) {
    tasks::RepairChainOptions options;
    options.tick = std::chrono::milliseconds(1);
    options.progress = [this](const std::string& text) { texts_.push_back(text); };
    options.refresh = [list](discovery::PartitionList& out) { out = list; };
    return options;
  }

  bool Shown(const char* text) const {
    for (const std::string& t : texts_) {
      if (t.rfind(text, 0) == 0) return true;
    }
    return false;
  }

  TempDir dir_;
  std::vector<std::string> texts_;  // written by the chain's own thread only
};

TEST_F(ChainOnImages, ADataVolumeEndsWithThePlainTexts) {
  PostTaskRequest request;
  request.destination = platform::VolumeId(MakeVolume("data.img", false).string());
  request.kind = engine::TaskKind::kCopy;
  PostTaskResult result = tasks::RunRepairChain(request, Options({}));
  EXPECT_EQ(result.code, tasks::kChainOk);
  EXPECT_EQ(result.text, "The partition is copied successfully.");
  EXPECT_EQ(result.notice, "");
  request.kind = engine::TaskKind::kRestore;
  result = tasks::RunRepairChain(request, Options({}));
  EXPECT_EQ(result.text, "The partition is restored successfully.");
  EXPECT_TRUE(Shown(kChecking));
  EXPECT_FALSE(Shown(kCopyingBcd));
}

TEST_F(ChainOnImages, AWindowsVolumeWithoutABootPartitionEndsPlainWithANotice) {
  PostTaskRequest request;
  request.kind = engine::TaskKind::kCopy;
  request.destination = platform::VolumeId(MakeVolume("windows.img", true).string());
  const PostTaskResult result = tasks::RunRepairChain(request, Options({}));
  EXPECT_EQ(result.code, tasks::kChainOk);
  EXPECT_EQ(result.text, "The partition is copied successfully.");
  EXPECT_EQ(result.notice, "Task failed to run!!! Sorry, please try again!");
  EXPECT_FALSE(Shown(kCopyingBcd));
}

TEST_F(ChainOnImages, ABootRepairThatCannotActivateFailsTheCopyWithItsCode) {
  // The inventory claims the image is a primary MBR partition: the repair
  // places the files on it but finds no disk to activate it on.
  const fs::path image = MakeVolume("windows.img", true);
  const tasks::TaskOutcome outcome = FinishOnUnactivatableDisk(image);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.chainCode, tasks::kChainBootRepairFailed);
  EXPECT_EQ(outcome.text, "Fail to copy BCD. error code：2");
  EXPECT_FALSE(outcome.reformatted) << "the copied system stays";
  EXPECT_TRUE(Shown(kCopyingBcd));
  NtfsMount mount(image.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(fs::exists(mount.Path() / "Boot" / "BCD")) << "the files were placed all the same";
}

TEST_F(ChainOnImages, ABootFileThatCannotBeCopiedFailsTheRepairAheadOfTheActivation) {
  LogCapture log;
  // A folder where the UEFI store must go: that one store cannot be copied.
  // The inventory claims a primary MBR partition, whose activation fails too.
  const fs::path image = MakeVolume("windows.img", true);
  {
    NtfsMount mount(image.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    fs::create_directories(mount.Path() / "EFI" / "Microsoft" / "Boot" / "BCD" / "in-the-way");
  }
  const tasks::TaskOutcome outcome = FinishOnUnactivatableDisk(image);
  EXPECT_FALSE(outcome.succeeded);
  EXPECT_EQ(outcome.chainCode, tasks::kChainBootRepairFailed);
  EXPECT_EQ(outcome.text, "Fail to copy BCD. error code：3");
  EXPECT_FALSE(outcome.reformatted) << "the copied system stays";
  EXPECT_EQ(log.Count("mycopy file eror : "), 1) << log.All();
  EXPECT_EQ(log.Count("1 of 2 files not copied"), 1) << log.All();
  EXPECT_EQ(log.Count("Change BCD finish! part style 0"), 1) << "the repair went on to the end";
  NtfsMount mount(image.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_TRUE(fs::exists(mount.Path() / "Boot" / "BCD")) << "the other store was placed";
  EXPECT_TRUE(fs::is_directory(mount.Path() / "EFI" / "Microsoft" / "Boot" / "BCD" / "in-the-way"));
}

}  // namespace
}  // namespace stow::test
