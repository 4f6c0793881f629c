// The copy and restore rules that need real volumes: mounts, loop devices and
// the volume that holds the running system; and the end of a failed task,
// which must leave the destination an empty NTFS volume.
#include <fstream>

#include "engine/image/ImageFormat.h"
#include "platform/VolumeUse.h"
#include "tasks/CommandRunners.h"
#include "tasks/CopyTask.h"
#include "tasks/RestoreTask.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/DiskFixtures.h"

namespace stow::tasks {
namespace {

using engine::TaskState;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

constexpr uint64_t kVolumeBytes = 32ull << 20;
const std::vector<std::string> kTools = {"mkntfs", "ntfs-3g"};

path MakeNtfs(const test::TempDir& dir, const std::string& name) {
  const path file = dir / name;
  test::MakeSparseFile(file, kVolumeBytes);
  test::Run({"mkntfs", "-q", "-F", "-f", file.string()});
  return file;
}

void WriteImageHeader(const path& file) {
  engine::ImageHeader header;
  header.clusterSize = 4096;
  const engine::ImageHeaderBytes bytes = header.Encode();
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// The device that holds "/" when it is a block device; empty otherwise.
std::string SystemDevice() {
  const test::CommandResult r = test::Run({"findmnt", "-n", "-o", "SOURCE", "/"});
  const std::string device = r.output.substr(0, r.output.find('\n'));
  std::error_code error;
  return r.status == 0 && test::fs::is_block_file(device, error) ? device : std::string();
}

TEST(RestoreCopyIntegration, AMountedDestinationIsRefusedAfterAnImageStoredOnIt) {
  STOW_REQUIRE(kTools, false, true);
  test::TempDir dir;
  const path destination = MakeNtfs(dir, "dest.img");
  const path outside = dir / "outside.vmg";
  WriteImageHeader(outside);
  test::NtfsMount mount(destination.string(), false);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  const path inside = mount.Path() / "inside.vmg";
  WriteImageHeader(inside);
  TaskState idle;
  RestorePlan plan;
  EXPECT_EQ(CheckRestore(idle, inside.string(), destination.string(), plan).id,
            "backupFileInSelectPath");
  const Refusal r = CheckRestore(idle, outside.string(), destination.string(), plan);
  EXPECT_EQ(r.text, "The destination partition is in use (mounted at " + mount.Path().string() +
                        "). Please unmount it first.");
  const path source = MakeNtfs(dir, "source.img");
  CopyPlan copy;
  EXPECT_EQ(CheckCopy(idle, source.string(), destination.string(), copy).id, "destinationInUse");
}

TEST(RestoreCopyIntegration, ADestinationThatHoldsTheSourceIsTheSource) {
  STOW_REQUIRE(test::DiskFixtureTools(), true, false);
  test::TempDir dir;
  const test::DiskFixture disk = test::MakeMbrLogicalDisk(dir.Path());
  ASSERT_TRUE(disk.Ok()) << disk.error;
  test::LoopDevice loop(disk.image);
  ASSERT_TRUE(loop.Ok());
  TaskState idle;
  const std::string source = loop.Partition(5);
  const char* const text = "The destination volume must be different from the source volume. ";
  for (const std::string& destination : {loop.Device(), disk.image.string()}) {
    SCOPED_TRACE(destination);
    CopyPlan plan;
    EXPECT_EQ(CheckCopy(idle, source, destination, plan).text, text);
  }
  // The other way round: the disk as the source of one of its own partitions.
  CopyPlan plan;
  EXPECT_EQ(CheckCopy(idle, loop.Device(), source, plan).text, text);
  // A sibling partition is another volume.
  EXPECT_FALSE(CheckCopy(idle, source, loop.Partition(6), plan).Refused());
  EXPECT_EQ(plan.sourceClusterSize, 4096u);
  EXPECT_EQ(ConfirmCopyText(plan), "Are you sure to copy data from " + source + " partition to " +
                                       loop.Partition(6) + " partition?\nNotice! This " +
                                       "operation will format " + loop.Partition(6) +
                                       " partition.");
}

TEST(RestoreCopyIntegration, TheSystemVolumeIsNeverADestination) {
  STOW_REQUIRE(kTools, false, false);
  const std::string system = SystemDevice();
  if (system.empty()) GTEST_SKIP() << "the running system is not on a block device here";
  platform::VolumeUse use;
  ASSERT_EQ(platform::QueryVolumeUse(system, use), 0);
  EXPECT_TRUE(use.systemRoot);
  EXPECT_TRUE(use.mounted);
  test::TempDir dir;
  const path source = MakeNtfs(dir, "source.img");
  TaskState idle;
  CopyPlan plan;
  const Refusal r = CheckCopy(idle, source.string(), system, plan);
  // Some machines (containers) do not even let root read the system disk; the
  // first rule refuses it there.
  if (std::ifstream(system, std::ios::binary)) {
    EXPECT_EQ(r.text, "The destination partition holds the running system.");
  } else {
    EXPECT_EQ(r.id, "destinationUnopenable");
  }
}

TEST(RestoreCopyIntegration, AFailedTaskLeavesAnEmptyVolume) {
  STOW_REQUIRE(kTools, false, true);
  test::TempDir dir;
  const path destination = MakeNtfs(dir, "dest.img");
  {
    test::NtfsMount mount(destination.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    ASSERT_EQ(test::Shell("cd " + test::Quote(mount.Path().string()) +
                          " && head -c 100000 /dev/urandom > half-written.bin")
                  .status,
              0);
  }
  const platform::VolumeId volume(destination.string());
  const FailedTaskEnd ended = EndFailedTask(volume, engine::TaskError::kManualStop);
  EXPECT_TRUE(ended.reformatted);
  EXPECT_EQ(ended.text, " The operation is stopped.");
  EXPECT_EQ(CheckFormattedVolume(volume, 0), kFormatVerified);
  test::NtfsMount mount(destination.string(), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  EXPECT_FALSE(test::fs::exists(mount.Path() / "half-written.bin"));
}


}  // namespace
}  // namespace stow::tasks
