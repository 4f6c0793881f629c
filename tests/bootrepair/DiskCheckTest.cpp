// The disk check of a destination: the check program's log line, the
// reopening with its pauses (a volume that appears only before the fifth
// attempt, one that never does), and a check that fails or cannot run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "bootrepair/DiskCheck.h"
#include "platform/BlockDevice.h"
#include "platform/Process.h"
#include "support/Enums.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using bootrepair::DiskCheckResult;

constexpr uint64_t kVolumeBytes = 16ull << 20;

DiskCheckResult RunCheck(const fs::path& destination, const bootrepair::DiskCheckOptions& options) {
  return bootrepair::CheckDestination(platform::VolumeId(destination.string()), options);
}

std::string Contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

fs::path MakeVolume(const TempDir& dir, const std::string& name) {
  const fs::path volume = dir / name;
  MakeSparseFile(volume, kVolumeBytes);
  EXPECT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", volume.string()}).status, 0);
  return volume;
}

TEST(DiskCheck, AVolumeThatOpensOnTheFifthAttempt) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  LogCapture log;
  TempDir dir;
  const fs::path late = MakeVolume(dir, "late.img");
  // Someone else holds the volume until the fourth pause: attempt five gets it.
  std::unique_ptr<platform::BlockDevice> holder;
  ASSERT_EQ(platform::OpenBlockDevice(late.string(), true, holder), 0);
  ASSERT_EQ(holder->Lock(), 0);
  int pauses = 0;
  bootrepair::DiskCheckOptions options;
  options.pause = [&](std::chrono::milliseconds pause) {
    EXPECT_EQ(pause, std::chrono::milliseconds(1000));
    if (++pauses == 4) holder.reset();
  };
  const DiskCheckResult result = RunCheck(late, options);
  EXPECT_EQ(pauses, 4);
  EXPECT_EQ(result, bootrepair::DiskCheckResult::kOk);
  EXPECT_EQ(log.Count("run success ntfsfix  ,parame--clear-dirty " + late.string()), 1);
}

TEST(DiskCheck, AVolumeThatNeverReopensGivesUpAfterSixtyPauses) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  TempDir dir;
  const fs::path held = MakeVolume(dir, "held.img");
  std::unique_ptr<platform::BlockDevice> holder;
  ASSERT_EQ(platform::OpenBlockDevice(held.string(), true, holder), 0);
  ASSERT_EQ(holder->Lock(), 0);
  int pauses = 0;
  bootrepair::DiskCheckOptions options;
  options.pause = [&](std::chrono::milliseconds) { ++pauses; };
  const DiskCheckResult result = RunCheck(held, options);
  EXPECT_EQ(pauses, bootrepair::kReopenAttempts - 1);
  EXPECT_EQ(result, bootrepair::DiskCheckResult::kVolumeNotReopened);
}

TEST(DiskCheck, ACheckThatFailsOrCannotRunFailsAtOnce) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  LogCapture log;
  TempDir dir;
  const fs::path damaged = MakeVolume(dir, "damaged.img");
  DamageMftAndMirror(damaged);
  const std::string before = Contents(damaged);
  int pauses = 0;
  std::vector<bootrepair::VolumeCheckResult> results;
  bootrepair::DiskCheckOptions options;
  options.pause = [&](std::chrono::milliseconds) { ++pauses; };
  options.checked = [&](const bootrepair::VolumeCheckResult& r) { results.push_back(r); };
  DiskCheckResult result = RunCheck(damaged, options);
  EXPECT_EQ(result, bootrepair::DiskCheckResult::kFailed);
  EXPECT_EQ(pauses, 0) << "no waiting for a volume that failed its check";
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].started);
  EXPECT_EQ(results[0].exitStatus, 1);
  EXPECT_EQ(results[0].summary, "Volume is corrupt. You should run chkdsk.");
  EXPECT_EQ(results[0].Describe(),
            "ntfsfix ended with status 1 (Volume is corrupt. You should run chkdsk.)");
  EXPECT_EQ(log.Count("the disk check of " + damaged.string() + " failed"), 1);
  EXPECT_TRUE(Contents(damaged) == before) << "nothing touched it after the checker";

  // A checker that is not there: the check did not happen, so it failed.
  const fs::path sound = MakeVolume(dir, "sound.img");
  const fs::path empty = dir / "empty-bin";
  fs::create_directory(empty);
  platform::SetProgramFoldersForTesting({empty.string()});
  results.clear();
  result = RunCheck(sound, options);
  platform::SetProgramFoldersForTesting({});
  EXPECT_EQ(result, bootrepair::DiskCheckResult::kFailed);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].started);
  EXPECT_EQ(results[0].Describe(), "ntfsfix could not be run: No such file or directory");
}

TEST(DiskCheck, AVolumeHeldByAMountIsNotTakenAsReopened) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfs-3g"}), true, true);
  TempDir dir;
  const fs::path image = dir / "disk.img";
  MakeSparseFile(image, kVolumeBytes);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", image.string()}).status, 0);
  LoopDevice loop(image, false);
  ASSERT_TRUE(loop.Ok());
  const platform::VolumeId volume(loop.Device());
  EXPECT_TRUE(bootrepair::TryOpenVolume(volume));
  {
    // The fix-up that follows mounts the volume; it cannot while another holds it.
    NtfsMount mount(loop.Device(), true);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    EXPECT_FALSE(bootrepair::TryOpenVolume(volume));
  }
  EXPECT_TRUE(bootrepair::TryOpenVolume(volume));
}

}  // namespace
}  // namespace stow::test
