// The destination format on real volumes: a loop partition of an MBR disk gets
// a boot sector that records where the partition starts and the disk geometry
// (without them the volume cannot start Windows); the cluster size follows the
// rule; and a format that failed, never ran, or would hit a volume in use is
// refused, so that nothing is ever written to such a destination.
#include <fstream>
#include <regex>

#include "engine/disk/Disk.h"
#include "support/Bytes.h"
#include "tasks/CommandRunners.h"
#include "tests/tasks/TaskTestSupport.h"
#include "tests/testlib/DiskFixtures.h"

namespace stow::tasks {
namespace {

using platform::VolumeId;
using test::CommandResult;
using test::fs::path;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

// Boot sector fields that a format must fill for a bootable volume.
constexpr size_t kSectorsPerTrackOffset = 0x18;  // u16
constexpr size_t kHeadsOffset = 0x1A;            // u16
constexpr size_t kHiddenSectorsOffset = 0x1C;    // u32
constexpr uint64_t kVolumeBytes = 64ull << 20;

const std::vector<std::string> kTools = {"mkntfs", "ntfsinfo", "ntfs-3g"};

// The cluster size as ntfsinfo reads the volume; 0 when it cannot.
uint32_t NtfsinfoClusterSize(const std::string& volume) {
  const CommandResult r = test::Run({"ntfsinfo", "-m", volume});
  std::smatch m;
  if (r.status != 0 || !std::regex_search(r.output, m, std::regex(R"(Cluster Size: (\d+))"))) {
    return 0;
  }
  return static_cast<uint32_t>(std::stoul(m[1]));
}

std::string FirstSector(const std::string& device) {
  std::ifstream in(device, std::ios::binary);
  std::string sector(512, '\0');
  in.read(sector.data(), static_cast<std::streamsize>(sector.size()));
  return in ? sector : std::string();
}

uint32_t LeAt(const std::string& bytes, size_t offset, size_t width) {
  uint32_t value = 0;
  for (size_t i = 0; i < width; ++i) {
    value |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[offset + i])) << (8 * i);
  }
  return value;
}

path NtfsFile(const test::TempDir& dir, const std::string& name, uint32_t clusterSize) {
  const path file = dir / name;
  test::MakeSparseFile(file, kVolumeBytes);
  test::Run({"mkntfs", "-q", "-F", "-f", "-c", std::to_string(clusterSize), file.string()});
  return file;
}

TEST(FormatIntegration, ALoopPartitionRecordsItsStartAndTheGeometry) {
  STOW_REQUIRE(kTools, true, false);
  test::TempDir dir;
  test::DiskFixtureOptions options;
  options.format = false;
  const test::DiskFixture disk = test::MakeMbrLogicalDisk(dir.Path(), options);
  ASSERT_TRUE(disk.Ok()) << disk.error;
  test::LoopDevice loop(disk.image);
  ASSERT_TRUE(loop.Ok());
  for (const int number : {1, 5}) {
    SCOPED_TRACE(number);
    const std::string device = loop.Partition(number);
    ASSERT_EQ(FormatDestination(VolumeId(device), 4096), kFormatVerified);

    engine::CDisk cdisk;
    ASSERT_EQ(cdisk.InitDisk(VolumeId(device), true), engine::DiskResult::kOk);
    const ByteView boot(cdisk.Device().BootSector().data(), cdisk.Device().BootSector().size());
    const uint64_t start = disk.Partition(number)->start;
    EXPECT_EQ(boot.U32(kHiddenSectorsOffset), start);
    EXPECT_EQ(boot.U16(kHeadsOffset), kDefaultHeads);
    EXPECT_EQ(boot.U16(kSectorsPerTrackOffset), kDefaultSectorsPerTrack);
    EXPECT_EQ(cdisk.Device().ClusterSize(), 4096u);

    // Independent readers: the raw bytes, ntfsinfo and an ntfs-3g mount.
    const std::string raw = FirstSector(device);
    ASSERT_EQ(raw.size(), 512u);
    EXPECT_EQ(LeAt(raw, kHiddenSectorsOffset, 4), start);
    EXPECT_EQ(LeAt(raw, kHeadsOffset, 2), kDefaultHeads);
    EXPECT_EQ(LeAt(raw, kSectorsPerTrackOffset, 2), kDefaultSectorsPerTrack);
    EXPECT_EQ(NtfsinfoClusterSize(device), 4096u);
    test::NtfsMount mount(device, false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    EXPECT_EQ(test::Shell("echo written > " + test::Quote((mount.Path() / "f").string())).status,
              0);
  }
}

TEST(FormatIntegration, ClusterSizesFollowTheRule) {
  STOW_REQUIRE(kTools, false, false);
  test::TempDir dir;
  const path file = dir / "volume.img";
  test::MakeSparseFile(file, kVolumeBytes);
  // 0 leaves the choice to the format (4 KiB on a volume this size).
  const std::pair<int32_t, uint32_t> cases[] = {
      {0, 4096}, {512, 512}, {8192, 8192}, {65536, 65536}, {4096, 4096}};
  for (const auto& [asked, expected] : cases) {
    SCOPED_TRACE(asked);
    EXPECT_EQ(FormatDestination(VolumeId(file.string()), asked), kFormatVerified);
    EXPECT_EQ(NtfsinfoClusterSize(file.string()), expected);
    // A regular file starts at sector 0.
    EXPECT_EQ(LeAt(FirstSector(file.string()), kHiddenSectorsOffset, 4), 0u);
  }
}

TEST(FormatIntegration, AFailedFormatLeavesNoVolumeToWriteTo) {
  STOW_REQUIRE(kTools, false, false);
  test::TempDir dir;
  const path file = NtfsFile(dir, "volume.img", 4096);
  ASSERT_EQ(CheckFormattedVolume(VolumeId(file.string()), 4096), kFormatVerified);
  // mkntfs refuses a cluster size that is not a power of two.
  EXPECT_EQ(FormatDestination(VolumeId(file.string()), 3000), kFormatFailed);
  // The old volume, with the cluster size the caller wants, cannot pass for a fresh one.
  EXPECT_EQ(CheckFormattedVolume(VolumeId(file.string()), 4096), kFormatNotNtfs);
  EXPECT_EQ(NtfsinfoClusterSize(file.string()), 0u);
}

TEST(FormatIntegration, AFormatThatNeverWroteIsNotTakenForOne) {
  STOW_REQUIRE(kTools, false, false);
  test::TempDir dir;
  const path file = NtfsFile(dir, "volume.img", 4096);
  // A format program that reports success without writing anything.
  test::FakeProgram mkntfs("mkntfs", "exit 0");
  EXPECT_EQ(FormatDestination(VolumeId(file.string()), 4096), kFormatNotNtfs);
}

TEST(FormatIntegration, AVolumeInUseIsNeverTouched) {
  STOW_REQUIRE(kTools, true, true);
  test::TempDir dir;
  const test::DiskFixture disk = test::MakeMbrLogicalDisk(dir.Path());
  ASSERT_TRUE(disk.Ok()) << disk.error;
  // A volume file mounted directly by ntfs-3g.
  const path file = NtfsFile(dir, "volume.img", 4096);
  const path marker = dir / "format-ran";
  test::FakeProgram mkntfs("mkntfs", "touch " + marker.string());
  {
    test::NtfsMount mount(file.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    test::Shell("echo kept > " + test::Quote((mount.Path() / "kept.txt").string()));
    EXPECT_EQ(FormatDestination(VolumeId(file.string()), 4096), kFormatNotStarted);
  }
  EXPECT_EQ(CheckFormattedVolume(VolumeId(file.string()), 4096), kFormatVerified);

  test::LoopDevice loop(disk.image);
  ASSERT_TRUE(loop.Ok());
  test::NtfsMount mount(loop.Partition(5), true);
  ASSERT_TRUE(mount.Ok()) << mount.Error();
  // The mounted partition itself, the whole disk that holds it, and the image
  // file behind the loop device.
  for (const std::string& target : {loop.Partition(5), loop.Device(), disk.image.string()}) {
    SCOPED_TRACE(target);
    EXPECT_EQ(FormatDestination(VolumeId(target), 4096), kFormatNotStarted);
  }
  EXPECT_FALSE(test::fs::exists(marker));
  EXPECT_EQ(CheckFormattedVolume(VolumeId(loop.Partition(5)), 0), kFormatVerified);
}

}  // namespace
}  // namespace stow::tasks
