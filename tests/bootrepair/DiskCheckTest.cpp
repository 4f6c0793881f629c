// The disk check thread: the check program's log line, the reopening with its
// pauses (a volume that appears only before the fifth attempt, one that never
// does), the event it posts from its own thread and the text of that event.
#include <gtest/gtest.h>

#include <thread>

#include "bootrepair/DiskCheck.h"
#include "tasks/Events.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/TestUtil.h"

namespace stow::test {
namespace {

using bootrepair::RepairParams;

constexpr uint64_t kVolumeBytes = 16ull << 20;

// Runs the thread as the chain does and takes its one event from the queue.
bootrepair::EventThread RunCheck(std::unique_ptr<RepairParams> params,
                                 const bootrepair::DiskCheckOptions& options) {
  tasks::EventQueue queue;
  std::thread worker(
      [&] { EXPECT_EQ(bootrepair::DiskCheckThread(std::move(params), queue, options), 0); });
  worker.join();
  EXPECT_EQ(queue.Size(), 1u) << "exactly one event";
  auto event = queue.TryTake();
  return event ? *event : bootrepair::EventThread{};
}

std::unique_ptr<RepairParams> ParamsFor(const fs::path& destination, const std::string& image) {
  auto params = std::make_unique<RepairParams>();
  params->destination = platform::VolumeId(destination.string());
  params->imagePath = image;
  params->sender = 7;
  return params;
}

TEST(DiskCheck, AVolumeThatOpensOnTheFifthAttempt) {
  STOW_REQUIRE((std::vector<std::string>{"mkntfs", "ntfsfix"}), false, false);
  LogCapture log;
  TempDir dir;
  const fs::path ready = dir / "ready.img";
  MakeSparseFile(ready, kVolumeBytes);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", ready.string()}).status, 0);
  const fs::path late = dir / "late.img";
  int pauses = 0;
  bootrepair::DiskCheckOptions options;
  options.pause = [&](std::chrono::milliseconds pause) {
    EXPECT_EQ(pause, std::chrono::milliseconds(1000));
    // The volume appears during the fourth pause: attempt five finds it.
    if (++pauses == 4) fs::copy_file(ready, late);
  };
  const auto event = RunCheck(ParamsFor(late, "/images/system.vmg"), options);
  EXPECT_EQ(pauses, 4);
  EXPECT_EQ(event.Kind(), bootrepair::kEventDiskCheck);
  EXPECT_EQ(event.value, bootrepair::kDiskCheckOk);
  EXPECT_EQ(event.text, "/images/system.vmg") << "a restore reports its image";
  EXPECT_EQ(event.sender, 7u);
  // The checker ran before the volume existed; it was started, so that counts.
  EXPECT_EQ(log.Count("run success ntfsfix  ,parame--clear-dirty " + late.string()), 1);
}

TEST(DiskCheck, AVolumeThatNeverReopensGivesUpAfterSixtyPauses) {
  LogCapture log;
  TempDir dir;
  int pauses = 0;
  bootrepair::DiskCheckOptions options;
  options.pause = [&](std::chrono::milliseconds) { ++pauses; };
  const auto event = RunCheck(ParamsFor(dir / "never.img", ""), options);
  EXPECT_EQ(pauses, bootrepair::kReopenAttempts - 1);
  EXPECT_EQ(event.value, bootrepair::kDiskCheckVolumeNotReopened);
  EXPECT_EQ(event.text, "") << "a copy has no image";
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
