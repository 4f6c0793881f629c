// Backup then restore, and copy, of the NTFS fixture volumes onto fresh mkntfs
// destinations of the same size, larger and smaller; each destination is then
// checked by readers that share no code with the engine: ntfsfix, ntfsresize's
// cluster accounting, ntfscat's view of the $MFT, its $BITMAP and the mirror,
// ntfs-3g mounts compared file by file with the source, and a read-write mount
// that fills and frees most of the free space. Faults end with an error code
// and leave the image (or the source) as it was.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "engine/core/TaskError.h"
#include "engine/image/ImageFormat.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/TaskThreads.h"
#include "platform/VolumeId.h"
#include "tests/engine/RestoreTestSupport.h"
#include "tests/support/LogTestSupport.h"
#include "tests/testlib/NtfsFixtures.h"
#include "tests/testlib/TaskErrorPrint.h"
#include "tests/testlib/TreeCompare.h"

namespace stow::test {
namespace {

using namespace std::chrono_literals;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new ScratchWorkingDirectory);

constexpr uint64_t kMiB = 1024 * 1024;

#define STOW_REQUIRE_RESTORE_TOOLS()                                                           \
  STOW_REQUIRE_NTFS_FIXTURES();                                                                \
  STOW_REQUIRE(                                                                                \
      std::vector<std::string>({"ntfsfix", "ntfsresize", "ntfscat", "ntfsinfo", "sha256sum"}), \
      false, true)

uint64_t SizeMiB(const fs::path& p) { return fs::file_size(p) / kMiB; }

// sha256sum rather than the comparison's own hash: images are tens of MiB and
// the tests run sanitised.
std::string FileHash(const fs::path& p) {
  return Shell("sha256sum " + Quote(p.string())).output.substr(0, 64);
}

// The backup image of a fixture, made once per test binary.
const fs::path& ImageOf(const NtfsFixture& fixture) {
  static TempDir dir;
  static std::map<std::string, fs::path> images;
  auto it = images.find(fixture.name);
  if (it != images.end()) return it->second;
  const fs::path image = dir / (fixture.name + ".stow");
  const engine::TaskError result = BackupVolume(fixture.image, image);
  EXPECT_EQ(result, engine::TaskError::kSuccess) << "backup of " << fixture.name;
  return images[fixture.name] = image;
}

const NtfsFixture& Fixture(const std::string& name) {
  std::string error;
  const NtfsFixture* fixture = GetNtfsFixture(name, &error);
  if (fixture == nullptr) throw std::runtime_error(error);
  return *fixture;
}

// Everything a written destination must pass.
void ExpectFaithfulAndConsistent(const NtfsFixture& fixture, const std::string& dest, bool stress) {
  EXPECT_EQ(IndependentCheck(dest), "") << fixture.name;
  EXPECT_EQ(MetadataAgreementCheck(dest), "") << fixture.name;
  const auto differences = CompareNtfsVolumes(fixture.image.string(), dest);
  EXPECT_TRUE(differences.empty()) << fixture.name << ":\n" << DifferencesText(differences);
  if (stress) {
    EXPECT_EQ(StressReadWrite(dest), "") << fixture.name;
    // The original files are still intact after the new ones came and went.
    TreeCompareOptions options;
    options.ignore = {kStressFolder};
    options.compareTimes = false;  // the root's times changed with the new folder
    const auto after = CompareNtfsVolumes(fixture.image.string(), dest, options);
    EXPECT_TRUE(after.empty()) << fixture.name << ":\n" << DifferencesText(after);
  }
}

std::string ParamName(const ::testing::TestParamInfo<std::string>& param) {
  std::string name = param.param;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class RestoreFixture : public ::testing::TestWithParam<std::string> {};

TEST_P(RestoreFixture, OntoTheSameSize) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture(GetParam());
  const fs::path& image = ImageOf(fixture);
  const std::string imageHash = FileHash(image);
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  ASSERT_EQ(RestoreImage(image, dest), engine::TaskError::kSuccess);
  ExpectFaithfulAndConsistent(fixture, dest.string(), true);
  EXPECT_EQ(FileHash(image), imageHash);
}

TEST_P(RestoreFixture, CopiedVolumeToVolume) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture(GetParam());
  const std::string sourceHash = FileHash(fixture.image);
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  // The same size: sparse and compressed files must be counted by the clusters
  // they use, not by their length.
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  ASSERT_EQ(CopyVolume(fixture.image, dest), engine::TaskError::kSuccess);
  ExpectFaithfulAndConsistent(fixture, dest.string(), false);
  EXPECT_EQ(FileHash(fixture.image), sourceHash);
}

INSTANTIATE_TEST_SUITE_P(Fixtures, RestoreFixture, ::testing::ValuesIn(NtfsFixtureNames()),
                         ParamName);

// Larger and smaller destinations: the fixture and the destination size in MiB.
struct Resize {
  std::string fixture;
  uint64_t sizeMiB;
};

class RestoreResized : public ::testing::TestWithParam<Resize> {};

TEST_P(RestoreResized, OntoAnotherSize) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture(GetParam().fixture);
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, GetParam().sizeMiB, fixture.clusterSize));
  ASSERT_EQ(RestoreImage(ImageOf(fixture), dest), engine::TaskError::kSuccess);
  ExpectFaithfulAndConsistent(fixture, dest.string(), true);
}

INSTANTIATE_TEST_SUITE_P(Sizes, RestoreResized,
                         ::testing::Values(Resize{"many-files", 48}, Resize{"sparse", 40},
                                           Resize{"streams", 40}, Resize{"many-files", 20},
                                           Resize{"compressed", 12}, Resize{"sparse", 10},
                                           Resize{"large-dir", 16},
                                           Resize{"mft-extents", 32},
                                           Resize{"mft-extents", 9}),
                         [](const ::testing::TestParamInfo<Resize>& param) {
                           std::string name = param.param.fixture + "_" +
                                              std::to_string(param.param.sizeMiB) + "MiB";
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

TEST(RestoreOntoPartition, ALoopPartitionOfAnMbrDisk) {
  STOW_REQUIRE_RESTORE_TOOLS();
  STOW_REQUIRE(std::vector<std::string>({"sfdisk", "partx", "losetup"}), true, true);
  const NtfsFixture& fixture = Fixture("fragmented");
  TempDir dir;
  const fs::path disk = dir / "disk.img";
  MakeSparseFile(disk, 40 * kMiB);
  ASSERT_EQ(Shell("printf 'start=2048, type=7\\n' | sfdisk --quiet " + Quote(disk.string())).status,
            0);
  LoopDevice loop(disk);
  ASSERT_TRUE(loop.Ok());
  const std::string partition = loop.Partition(1);
  ASSERT_EQ(test::Run({"mkntfs", "--fast", "--force", "--quiet", "--cluster-size",
                       std::to_string(fixture.clusterSize), partition})
                .status,
            0);
  ASSERT_EQ(RestoreImage(ImageOf(fixture), partition), engine::TaskError::kSuccess);
  ExpectFaithfulAndConsistent(fixture, partition, true);
}

// --- Faults ------------------------------------------------------------------

// The offsets of the image's block records, in order.
std::vector<uint64_t> BlockRecordOffsets(const fs::path& image) {
  std::vector<uint64_t> offsets;
  const uint64_t size = fs::file_size(image);
  for (uint64_t at = engine::kImageHeaderSize; at + engine::kBlockRecordSize <= size;) {
    const std::vector<std::byte> bytes = ReadFileBytes(image, at, engine::kBlockRecordSize);
    const auto record =
        engine::BlockRecord::Decode(std::span<const std::byte, engine::kBlockRecordSize>(
            bytes.data(), engine::kBlockRecordSize));
    offsets.push_back(at);
    at += engine::kBlockRecordSize + (record.CarriesData() ? record.runLength : 0);
  }
  return offsets;
}

TEST(RestoreFaults, AnImageCutInsideARunEndsWithAnError) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("fragmented");
  TempDir dir;
  const fs::path image = dir / "cut.stow";
  fs::copy_file(ImageOf(fixture), image);
  const std::vector<uint64_t> records = BlockRecordOffsets(image);
  ASSERT_GT(records.size(), 10u);
  fs::resize_file(image, records[records.size() / 2] + engine::kBlockRecordSize + 1000);
  const std::string hash = FileHash(image);
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  EXPECT_EQ(RestoreImage(image, dest), engine::TaskError::kImageDamaged);
  EXPECT_EQ(FileHash(image), hash);
}

TEST(RestoreFaults, ADamagedBlockRecordEndsWithAnError) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("many-files");
  TempDir dir;
  const fs::path image = dir / "damaged.stow";
  fs::copy_file(ImageOf(fixture), image);
  const std::vector<uint64_t> records = BlockRecordOffsets(image);
  ASSERT_GT(records.size(), 5u);
  ASSERT_EQ(test::Run({"dd", "if=/dev/zero", "of=" + image.string(), "bs=1", "count=2",
                       "seek=" + std::to_string(records[4] + 38), "conv=notrunc", "status=none"})
                .status,
            0);
  const std::string hash = FileHash(image);
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  EXPECT_EQ(RestoreImage(image, dest), engine::TaskError::kImageDamaged);
  EXPECT_EQ(FileHash(image), hash);
}

TEST(RestoreFaults, ADestinationTooSmallIsRefusedBeforeAnythingIsWritten) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("fragmented");
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, 8, fixture.clusterSize));
  const std::string destHash = FileHash(dest);
  const std::string imageHash = FileHash(ImageOf(fixture));
  EXPECT_EQ(RestoreImage(ImageOf(fixture), dest), engine::TaskError::kDestinationTooSmall);
  EXPECT_EQ(FileHash(dest), destHash);
  EXPECT_EQ(FileHash(ImageOf(fixture)), imageHash);
  // A copy is refused the same way, and its source is left alone.
  const std::string sourceHash = FileHash(fixture.image);
  EXPECT_EQ(CopyVolume(fixture.image, dest), engine::TaskError::kDestinationTooSmall);
  EXPECT_EQ(FileHash(dest), destHash);
  EXPECT_EQ(FileHash(fixture.image), sourceHash);
}

TEST(RestoreFaults, ADestinationFoundFullLateEndsWithAnError) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("fragmented");
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  // Large enough by its size, but mostly taken by a file of its own.
  ASSERT_TRUE(MakeNtfsVolume(dest, 48, fixture.clusterSize));
  {
    NtfsMount mount(dest.string(), false);
    ASSERT_TRUE(mount.Ok()) << mount.Error();
    ASSERT_EQ(Shell("head -c " + std::to_string(34 * kMiB) + " /dev/zero > " +
                    Quote((mount.Path() / "ballast").string()))
                  .status,
              0);
  }
  EXPECT_EQ(RestoreImage(ImageOf(fixture), dest), engine::TaskError::kDestinationTooSmall);
}

TEST(RestoreLogFile, ACleanLogIsCopiedAndOneThatAsksForAReplayIsReset) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("streams");
  auto logOf = [](const std::string& volume) {
    return Shell("ntfscat -i 2 " + Quote(volume) + " 2>/dev/null").output;
  };
  TempDir dir;
  const fs::path clean = dir / "clean.img";
  ASSERT_TRUE(MakeNtfsVolume(clean, SizeMiB(fixture.image), fixture.clusterSize));
  ASSERT_EQ(RestoreImage(ImageOf(fixture), clean), engine::TaskError::kSuccess);
  EXPECT_EQ(logOf(clean.string()), logOf(fixture.image.string()));

  // The same image with a restart page that names a client and no clean shutdown.
  const fs::path image = dir / "dirty-log.stow";
  fs::copy_file(ImageOf(fixture), image);
  uint64_t logData = 0;
  for (uint64_t at : BlockRecordOffsets(image)) {
    const std::vector<std::byte> bytes = ReadFileBytes(image, at, engine::kBlockRecordSize);
    const auto record = engine::BlockRecord::Decode(
        std::span<const std::byte, engine::kBlockRecordSize>(bytes.data(), bytes.size()));
    if (record.recordNumber == 2 && record.CarriesData()) {
      logData = at + engine::kBlockRecordSize;
      break;
    }
  }
  ASSERT_NE(logData, 0u);
  std::string page(4096, '\0');
  page.replace(0, 4, "RSTR");
  page[24] = 0x30;  // restart area offset; its client in-use list (0) and flags (0) follow
  {
    std::fstream out(image, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(logData));
    out.write(page.data(), static_cast<std::streamsize>(page.size()));
  }
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  ASSERT_EQ(RestoreImage(image, dest), engine::TaskError::kSuccess);
  const std::string log = logOf(dest.string());
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.find_first_not_of('\xFF'), std::string::npos);
  ExpectFaithfulAndConsistent(fixture, dest.string(), false);
}

// An image file whose reads stop at a gate after `open` bytes until the gate
// is opened, so that a test can stop a restore in its middle for certain.
class GatedFile final : public platform::BlockDevice {
 public:
  GatedFile(std::unique_ptr<platform::BlockDevice> inner, uint64_t open,
            std::shared_ptr<std::atomic<bool>> gate)
      : inner_(std::move(inner)), open_(open), gate_(std::move(gate)) {}
  const std::string& Path() const override { return inner_->Path(); }
  uint64_t Size() const override { return inner_->Size(); }
  uint32_t SectorSize() const override { return inner_->SectorSize(); }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return false; }
  platform::IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    while (offset >= open_ && !gate_->load()) std::this_thread::sleep_for(1ms);
    return inner_->ReadAt(offset, out);
  }
  platform::IoResult WriteAt(uint64_t, std::span<const std::byte>) override { return {}; }
  int Flush() override { return 0; }
  int Lock() override { return 0; }
  int Unlock() override { return 0; }
  int UpdateProperties() override { return 0; }

 private:
  std::unique_ptr<platform::BlockDevice> inner_;
  uint64_t open_;
  std::shared_ptr<std::atomic<bool>> gate_;
};

TEST(RestoreFaults, AStopInTheMiddleEndsWithTwentyFive) {
  STOW_REQUIRE_RESTORE_TOOLS();
  const NtfsFixture& fixture = Fixture("fragmented");
  const fs::path& image = ImageOf(fixture);
  const std::string hash = FileHash(image);
  TempDir dir;
  const fs::path dest = dir / "dest.img";
  ASSERT_TRUE(MakeNtfsVolume(dest, SizeMiB(fixture.image), fixture.clusterSize));
  auto gate = std::make_shared<std::atomic<bool>>(false);
  const uint64_t half = fs::file_size(image) / 2;
  engine::RestoreIo io = engine::RestoreIo::Default();
  io.openImage = [gate, half](const std::string& path,
                              std::unique_ptr<platform::BlockDevice>& out) {
    std::unique_ptr<platform::BlockDevice> file;
    const int r = platform::OpenBlockDevice(path, true, file);
    if (r == 0) out = std::make_unique<GatedFile>(std::move(file), half, gate);
    return r;
  };
  engine::TaskThreads threads = engine::TaskThreads::Default();
  threads.readFromFile = [io](engine::TaskState& s) { engine::RunImageReader(s, io); };
  threads.writePartition = [io](engine::TaskState& s) { engine::RunPartitionWriter(s, io); };
  engine::TaskState state(threads);
  ASSERT_EQ(state.StartRestore(image.string(), platform::VolumeId(dest.string())),
            engine::kStartOk);
  // Half the image has been read and placed; the reader waits at the gate.
  while (state.bytesDone.load() < half / 2 && state.AnyWorkerRunning()) {
    std::this_thread::sleep_for(1ms);
  }
  state.StopTask();
  gate->store(true);
  state.WaitForWorkers();
  EXPECT_EQ(state.ErrorCode(), engine::TaskError::kManualStop);
  EXPECT_EQ(FileHash(image), hash);
}

}  // namespace
}  // namespace stow::test
