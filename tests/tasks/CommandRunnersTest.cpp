// The command runners: what they log, that they never block on a talkative
// program or leak its descriptors, and the format command built by the
// cluster-size rule.
#include "tasks/CommandRunners.h"

#include <filesystem>

#include "tests/tasks/TaskTestSupport.h"

namespace stow::tasks {
namespace {

using test::FakeProgram;
using test::LogCapture;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

size_t OpenDescriptors() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

TEST(ClusterRule, FollowsTheFormatSwitchRule) {
  EXPECT_EQ(FormatClusterBytes(0), 0);  // no switch: the format's default
  EXPECT_EQ(FormatClusterBytes(128), 128);
  EXPECT_EQ(FormatClusterBytes(4096), 4096);  // /A:4096
  EXPECT_EQ(FormatClusterBytes(8191), 8191);
  EXPECT_EQ(FormatClusterBytes(8192), 8192);    // /A:8K
  EXPECT_EQ(FormatClusterBytes(65536), 65536);  // /A:64K
  EXPECT_EQ(FormatClusterBytes(10000), 9216);   // /A:9K: whole KiB
  // Requests the rule cannot express are never turned into "the default".
  EXPECT_EQ(FormatClusterBytes(100), kInvalidClusterBytes);
  EXPECT_EQ(FormatClusterBytes(-4096), kInvalidClusterBytes);
  EXPECT_EQ(FormatClusterBytes(INT32_MIN), kInvalidClusterBytes);
}

TEST(ClusterRule, BuildsTheFormatCommand) {
  FormatTarget target;
  target.device = "/dev/loop7p5";
  target.clusterSize = 65536;
  target.partitionStart = 133120;
  EXPECT_EQ(BuildFormatCommand(target),
            (std::vector<std::string>{"mkntfs", "--fast", "--force", "--cluster-size", "65536",
                                      "--partition-start", "133120", "--heads", "255",
                                      "--sectors-per-track", "63", "/dev/loop7p5"}));
  target.clusterSize = 0;
  target.heads = 16;
  target.sectorsPerTrack = 32;
  EXPECT_EQ(
      BuildFormatCommand(target),
      (std::vector<std::string>{"mkntfs", "--fast", "--force", "--partition-start", "133120",
                                "--heads", "16", "--sectors-per-track", "32", "/dev/loop7p5"}));
}

TEST(ClusterRule, AFileStartsAtSectorZeroWithTheDefaultGeometry) {
  test::TempDir dir;
  const auto file = dir / "volume.img";
  test::MakeSparseFile(file, 1 << 20);
  const FormatTarget target = DescribeFormatTarget(platform::VolumeId(file.string()), 4096);
  EXPECT_EQ(target.partitionStart, 0u);
  EXPECT_EQ(target.heads, kDefaultHeads);
  EXPECT_EQ(target.sectorsPerTrack, kDefaultSectorsPerTrack);
}

TEST(RunHidden, ReportsAProgramThatFailedAsRunAndLogsItsExitCode) {
  LogCapture log;
  CommandOutcome outcome;
  EXPECT_TRUE(RunHidden({"sh", "-c", "echo failing; exit 3"}, &outcome));
  EXPECT_TRUE(outcome.ran);
  EXPECT_EQ(outcome.exitCode, 3);
  EXPECT_EQ(outcome.output, "failing\n");
  EXPECT_EQ(log.Count("systemhide GetExitCodeProcess  error=0x0  ,exitCode=3!"), 1) << log.All();

  EXPECT_TRUE(RunHidden({"true"}));
  EXPECT_EQ(log.Count("systemhide"), 1) << "a zero exit code is not logged";
}

TEST(RunHidden, AProgramThatCannotStartIsFalseAndLogged) {
  LogCapture log;
  CommandOutcome outcome;
  EXPECT_FALSE(RunHidden({"/nonexistent/program"}, &outcome));
  EXPECT_FALSE(outcome.ran);
  EXPECT_EQ(log.Count("systemhide CreateProcess  error=0x2!"), 1) << log.All();
}

TEST(RunHidden, DrainsALargeOutputAndClosesEveryDescriptor) {
  const size_t before = OpenDescriptors();
  CommandOutcome outcome;
  // Far more than a pipe holds: a runner that does not read would block here for ever.
  ASSERT_TRUE(RunHidden({"head", "-c", "5000000", "/dev/zero"}, &outcome));
  EXPECT_EQ(outcome.exitCode, 0);
  EXPECT_EQ(outcome.output.size(), kCommandOutputLimit);
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(RunElevated, LogsTheRunWithItsParameters) {
  LogCapture log;
  RunElevated("true", {"1", "5", "2048", "/dev/sdb5"});
  EXPECT_EQ(log.Count("run success true  ,parame 1 5 2048 /dev/sdb5"), 1) << log.All();
  RunElevated("/nonexistent/AssistSplitPartition.sh", {"1"});
  EXPECT_EQ(log.Count("run /nonexistent/AssistSplitPartition.sh fail ,error=0x2"), 1) << log.All();
}

TEST(RunElevated, RunsTheSplitScriptBesideTheProgramByItsFileName) {
  ASSERT_TRUE(std::filesystem::exists(SplitPartitionScriptPath())) << "the build places it";
  LogCapture log;
  // Parameters it refuses: it runs, says why, and changes nothing.
  RunElevated("AssistSplitPartition.sh", {"1", "2", "3"});
  EXPECT_EQ(log.Count("run success AssistSplitPartition.sh  ,parame 1 2 3"), 1) << log.All();
}

TEST(RunElevated, WaitsForTheProgram) {
  test::TempDir dir;
  const auto marker = dir / "done";
  RunElevated("sh", {"-c", "sleep 0.2; touch " + marker.string()});
  EXPECT_TRUE(std::filesystem::exists(marker));
}

TEST(FormatVolumeNtfs, AFormatThatExitsNonZeroStillCountsAsRunButIsRefusedByTheCheck) {
  test::TempDir dir;
  const auto file = dir / "volume.img";
  test::MakeSparseFile(file, 1 << 20);
  FakeProgram mkntfs("mkntfs", "echo 'cannot format' >&2; exit 1");
  LogCapture log;
  CommandOutcome outcome;
  EXPECT_TRUE(FormatVolumeNtfs(platform::VolumeId(file.string()), 4096, &outcome));
  EXPECT_EQ(outcome.exitCode, 1);
  EXPECT_EQ(log.Count("systemhide GetExitCodeProcess  error=0x0  ,exitCode=1!"), 1) << log.All();
  EXPECT_EQ(FormatDestination(platform::VolumeId(file.string()), 4096), kFormatFailed);
}

TEST(FormatVolumeNtfs, AClusterSizeTheRuleCannotExpressRunsNothing) {
  test::TempDir dir;
  const auto marker = dir / "ran";
  FakeProgram mkntfs("mkntfs", "touch " + marker.string());
  LogCapture log;
  EXPECT_FALSE(FormatVolumeNtfs(platform::VolumeId((dir / "volume.img").string()), 100));
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(log.Count("no cluster size can be asked for 100"), 1) << log.All();
}

TEST(FormatDestination, AVolumeThatCannotBeOpenedIsNotFormatted) {
  test::TempDir dir;
  const auto marker = dir / "ran";
  FakeProgram mkntfs("mkntfs", "touch " + marker.string());
  EXPECT_EQ(FormatDestination(platform::VolumeId((dir / "missing.img").string()), 4096),
            kFormatNotStarted);
  EXPECT_FALSE(std::filesystem::exists(marker));
}

}  // namespace
}  // namespace stow::tasks
