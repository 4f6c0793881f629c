// Copy and restore with verification on real volumes: an untouched
// destination reads back whole; a byte changed between the transfer and the
// read-back (beneath a loop device, so that only a read past the device's
// cache can see it) fails the task with the offset and the record and leaves
// the destination formatted again; a stop during the read-back is a stop.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <numeric>
#include <thread>

#include "engine/core/TaskError.h"
#include "support/StringTable.h"
#include "tasks/CopyTask.h"
#include "tasks/RestoreTask.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::tasks {
namespace {

using engine::TaskState;
using engine::WrittenRange;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kMiB = 1ull << 20;
constexpr uint64_t kVolumeBytes = 64 * kMiB;
constexpr uint64_t kBigFileBytes = 20 * kMiB;
const std::vector<std::string> kTools = {"mkntfs", "ntfs-3g"};

// How a task ended, and what the verification saw of it.
struct Ended {
  engine::TaskError code = engine::TaskError::kRunning;
  std::string detail;
  // After a failure: the destination formatted again, as the course leaves it.
  FailedTaskEnd failed;
  engine::TaskProgress progress;
  std::vector<WrittenRange> ranges;  // as the hook before the read-back saw them
};

using Hook = std::function<void(TaskState&, std::span<const WrittenRange>)>;

// Starts a prepared plan with verification, waits for the engine and ends the task.
template <typename Plan, typename StartFn>
Ended RunVerified(Plan& plan, const Hook& hook, StartFn start) {
  Ended ended;
  TaskState state;
  plan.verify.enabled = true;
  plan.verify.beforeVerify = [&](std::span<const WrittenRange> ranges) {
    ended.ranges.assign(ranges.begin(), ranges.end());
    if (hook) hook(state, ranges);
  };
  if (const Refusal r = start(state, plan); r.Refused()) {
    ADD_FAILURE() << r.text;
    return ended;
  }
  while (state.ErrorCode() == engine::TaskError::kRunning || state.AnyWorkerRunning()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  state.WaitForWorkers();
  ended.code = state.ErrorCode();
  ended.detail = state.ErrorDetail();
  ended.progress = state.QueryProgress();
  if (ended.code != engine::TaskError::kSuccess) {
    ended.failed = EndFailedTask(plan.destination.volume, ended.code);
  }
  return ended;
}

Ended CopyVerified(const std::string& source, const std::string& destination,
                   const Hook& hook = {}) {
  TaskState idle;
  CopyPlan plan;
  Refusal r = CheckCopy(idle, source, destination, plan);
  if (!r.Refused()) r = CheckCopySource(plan);
  if (!r.Refused()) r = PrepareCopy(plan);
  if (r.Refused()) {
    ADD_FAILURE() << r.text;
    return {};
  }
  return RunVerified(plan, hook, StartCopyTask);
}

Ended RestoreVerified(const path& image, const std::string& destination, const Hook& hook = {}) {
  TaskState idle;
  RestorePlan plan;
  Refusal r = CheckRestore(idle, image.string(), destination, plan);
  if (!r.Refused()) r = CheckRestoreImage(plan);
  if (!r.Refused()) r = PrepareRestore(plan);
  if (r.Refused()) {
    ADD_FAILURE() << r.text;
    return {};
  }
  return RunVerified(plan, hook, StartRestoreTask);
}

const WrittenRange& Longest(std::span<const WrittenRange> ranges) {
  return *std::max_element(ranges.begin(), ranges.end(),
                           [](const auto& a, const auto& b) { return a.length < b.length; });
}

// Flips one byte of `file` at `offset`, through the file itself.
void FlipByte(const path& file, uint64_t offset) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  unsigned char byte = 0;
  ASSERT_EQ(::pread(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  byte ^= 0x5A;
  ASSERT_EQ(::pwrite(fd, &byte, 1, static_cast<off_t>(offset)), 1);
  ASSERT_EQ(::fsync(fd), 0);
  ::close(fd);
}

std::string RangeText(const WrittenRange& r) {
  return "Bytes " + std::to_string(r.offset) + " to " + std::to_string(r.offset + r.length - 1) +
         " of the destination (data of MFT record " + std::to_string(r.record) + " of the source)";
}

class DestinationVerify : public ::testing::Test {
 protected:
  void SetUp() override {
    STOW_REQUIRE(kTools, true, true);
    source_ = dir_ / "source.img";
    ASSERT_NO_FATAL_FAILURE(test::MakeFilledNtfsVolume(
        source_, kVolumeBytes,
        "head -c " + std::to_string(kBigFileBytes) +
            " /dev/urandom > big.bin && mkdir small && for i in $(seq 1 "
            "30); do head -c $((i * 7000)) /dev/urandom > small/f$i; done"));
  }

  path NewVolumeFile(const std::string& name) const {
    const path file = dir_ / name;
    test::MakeSparseFile(file, kVolumeBytes);
    return file;
  }

  test::TempDir dir_;
  path source_;
};

TEST_F(DestinationVerify, AnUntouchedDestinationReadsBackWhole) {
  const path copy = NewVolumeFile("copy.img");
  Ended ended = CopyVerified(source_.string(), copy.string());
  ASSERT_EQ(ended.code, engine::TaskError::kSuccess) << ended.detail;
  EXPECT_EQ(ended.code, engine::TaskError::kSuccess) << ended.detail;
  // Every file's data was noted, nothing of the records the finaliser writes again.
  const uint64_t noted =
      std::accumulate(ended.ranges.begin(), ended.ranges.end(), uint64_t{0},
                      [](uint64_t sum, const auto& r) { return sum + r.length; });
  EXPECT_GE(noted, kBigFileBytes);
  for (const WrittenRange& r : ended.ranges) {
    EXPECT_GT(r.record, 2u);
    EXPECT_LE(r.offset + r.length, kVolumeBytes);
  }
  EXPECT_EQ(ended.progress.phase, engine::TaskPhase::kVerify);
  EXPECT_EQ(ended.progress.totalBytes, noted);
  EXPECT_EQ(ended.progress.copiedBytes, noted);
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), copy.string()).empty());

  const path image = dir_ / "source.vmg";
  const test::CommandResult backup =
      test::RunCli({"backup", source_.string(), image.string(), "--yes", "--quiet"});
  ASSERT_EQ(backup.status, 0) << backup.output;
  const path restored = NewVolumeFile("restored.img");
  ended = RestoreVerified(image, restored.string());
  ASSERT_EQ(ended.code, engine::TaskError::kSuccess) << ended.detail;
  EXPECT_EQ(ended.code, engine::TaskError::kSuccess) << ended.detail;
  EXPECT_GE(ended.ranges.size(), 2u);
  EXPECT_TRUE(test::CompareNtfsVolumes(source_.string(), restored.string()).empty());
}

TEST_F(DestinationVerify, AByteChangedBeneathTheDeviceFailsTheTaskWithItsOffset) {
  const path image = dir_ / "source.vmg";
  const test::CommandResult backup =
      test::RunCli({"backup", source_.string(), image.string(), "--yes", "--quiet"});
  ASSERT_EQ(backup.status, 0) << backup.output;
  const path file = NewVolumeFile("restored.img");
  test::LoopDevice loop(file, false);
  ASSERT_TRUE(loop.Ok());
  WrittenRange changed;
  // The change goes into the file behind the loop device, after the device's
  // own writes have reached it: the device's cache still holds what was
  // written, so only a read past that cache finds the change.
  const Hook hook = [&](TaskState&, std::span<const WrittenRange> ranges) {
    ASSERT_FALSE(ranges.empty());
    changed = Longest(ranges);
    const int device = ::open(loop.Device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(device, 0);
    ASSERT_EQ(::fsync(device), 0);
    ::close(device);
    FlipByte(file, changed.offset + changed.length / 2);
  };
  const Ended ended = RestoreVerified(image, loop.Device(), hook);
  ASSERT_EQ(ended.code, engine::TaskError::kVerifyFailed) << ended.detail;
  EXPECT_NE(ended.detail.find(RangeText(changed) + " read back differently"), std::string::npos)
      << ended.detail;
  EXPECT_NE(ended.detail.find("run the restore again"), std::string::npos) << ended.detail;
  EXPECT_EQ(ended.code, engine::TaskError::kVerifyFailed);
  EXPECT_EQ(ended.failed.text, LoadText("errorVerifyFailed"));
  EXPECT_TRUE(ended.failed.reformatted);
}

TEST_F(DestinationVerify, AStopDuringTheReadBackIsAStop) {
  const path copy = NewVolumeFile("copy.img");
  const Hook hook = [](TaskState& state, std::span<const WrittenRange>) { state.StopTask(); };
  const Ended ended = CopyVerified(source_.string(), copy.string(), hook);
  EXPECT_EQ(ended.code, engine::TaskError::kManualStop) << ended.detail;
  EXPECT_EQ(ended.progress.phase, engine::TaskPhase::kVerify);
}

}  // namespace
}  // namespace stow::tasks
