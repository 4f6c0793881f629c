// The free-space reader on a real mkntfs volume held in memory: its count against
// ntfsinfo's, then copies damaged one field at a time, each refused with its own
// result instead of a crash or a wrong count.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "discovery/NtfsVolume.h"
#include "engine/ntfs/FileRecord.h"
#include "platform/MemoryBlockDevice.h"
#include "tests/testlib/TestUtil.h"

namespace stow::discovery {
namespace {

constexpr uint64_t kVolumeBytes = 24 * 1024 * 1024;
constexpr size_t kTotalSectorsOffset = 40;
constexpr size_t kMftClusterOffset = 48;
constexpr size_t kRecordBytes = 1024;
// Bytes of a record that the update sequence array stands in for on disk.
constexpr size_t kFixupBlock = 512;
constexpr size_t kDataSizeOffset = 48;  // of a non-resident attribute
constexpr size_t kRunListOffsetOffset = 32;

uint64_t NtfsinfoField(const std::string& image, const std::string& field) {
  std::istringstream lines(test::Run({"ntfsinfo", "-m", image}).output);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(field + ":");
    if (at != std::string::npos) return std::stoull(line.substr(at + field.size() + 1));
  }
  return 0;
}

class NtfsSpace : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    missing_ = test::MissingForIntegration({"mkntfs", "ntfsinfo"});
    if (!missing_.empty()) return;
    dir_ = std::make_unique<test::TempDir>();
    image_ = (dir_->Path() / "volume.img").string();
    test::MakeSparseFile(image_, kVolumeBytes);
    test::Run({"mkntfs", "--fast", "--force", "--quiet", "-c", "4096", image_});
    std::ifstream in(image_, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    volume_.resize(bytes.size());
    std::memcpy(volume_.data(), bytes.data(), bytes.size());
  }
  static void TearDownTestSuite() { dir_.reset(); }

  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_;
    ASSERT_EQ(volume_.size(), kVolumeBytes);
  }

  static discovery::NtfsSpaceResult Read(std::vector<std::byte> volume, discovery::NtfsSpace& out) {
    engine::CDisk disk;
    disk.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(volume)), true);
    return ReadNtfsFreeSpace(disk, out);
  }

  // Where record 6 lies in the volume, and its $DATA attribute within the record.
  static void Locate(size_t& record, size_t& attribute) {
    const uint64_t clusterSize = NtfsClusterSize(Bytes(volume_.data(), 512));
    record = static_cast<size_t>(LoadLe64(&volume_[kMftClusterOffset]) * clusterSize +
                                 kNtfsBitmapRecord * kRecordBytes);
    std::vector<std::byte> copy(
        volume_.begin() + static_cast<std::ptrdiff_t>(record),
        volume_.begin() + static_cast<std::ptrdiff_t>(record + kRecordBytes));
    ASSERT_TRUE(engine::ntfs::ApplyFixup(copy));
    engine::ntfs::AttributeWalker walk(copy);
    for (engine::ntfs::Attribute a; walk.Next(a);) {
      if (a.type == engine::ntfs::kAttrData && a.nameLength == 0) {
        attribute = a.offset;
        ASSERT_TRUE(a.nonResident);
        // The fields patched below must not lie where the fix-up puts its own bytes.
        ASSERT_LT(attribute + kDataSizeOffset + 8, kFixupBlock - 2);
        return;
      }
    }
    FAIL() << "record 6 has no $DATA";
  }

  static inline std::string missing_;
  static inline std::unique_ptr<test::TempDir> dir_;
  static inline std::string image_;
  static inline std::vector<std::byte> volume_;
};

TEST_F(NtfsSpace, CountAgreesWithNtfsinfo) {
  discovery::NtfsSpace space;
  ASSERT_EQ(Read(volume_, space), kNtfsSpaceOk);
  EXPECT_EQ(space.clusterSize, 4096u);
  EXPECT_EQ(space.totalClusters, NtfsinfoField(image_, "Volume Size in Clusters"));
  EXPECT_EQ(space.freeClusters, NtfsinfoField(image_, "Free Clusters"));
}

TEST_F(NtfsSpace, DamagedCopiesAreRefused) {
  size_t record = 0;
  size_t attribute = 0;
  ASSERT_NO_FATAL_FAILURE(Locate(record, attribute));
  const size_t data = record + attribute;
  discovery::NtfsSpace space;

  auto v = volume_;
  std::memcpy(&v[3], "EXFAT   ", 8);
  EXPECT_EQ(Read(v, space), kNtfsSpaceNotNtfs);

  v = volume_;  // a volume larger than its device
  StoreLe64(&v[kTotalSectorsOffset], kVolumeBytes / 512 + 8);
  EXPECT_EQ(Read(v, space), kNtfsSpaceBadGeometry);

  v = volume_;  // no clusters at all: the record reader refuses such a volume already
  StoreLe64(&v[kTotalSectorsOffset], 0);
  EXPECT_EQ(Read(v, space), kNtfsSpaceNotNtfs);

  v = volume_;
  std::memcpy(&v[record], "BAAD", 4);
  EXPECT_EQ(Read(v, space), kNtfsSpaceNoRecord);

  v = volume_;  // record 6 marked free
  v[record + engine::ntfs::kFlagsOffset] = std::byte{0};
  EXPECT_EQ(Read(v, space), kNtfsSpaceNoRecord);

  v = volume_;  // the bitmap shorter than the volume needs
  StoreLe64(&v[data + kDataSizeOffset], 8);
  EXPECT_EQ(Read(v, space), kNtfsSpaceBadBitmap);

  v = volume_;  // the run list offset pointing past the attribute
  StoreLe16(&v[data + kRunListOffsetOffset], 0xFFF0);
  EXPECT_EQ(Read(v, space), kNtfsSpaceBadBitmap);

  v = volume_;  // the first run's cluster far past the device
  const size_t runs = data + LoadLe16(&volume_[data + kRunListOffsetOffset]);
  const auto header = static_cast<uint8_t>(v[runs]);
  const size_t lengthBytes = header & 0x0F;
  const size_t offsetBytes = header >> 4;
  ASSERT_GT(offsetBytes, 0u);
  v[runs + lengthBytes + offsetBytes] = std::byte{0x7F};  // the offset's top byte
  EXPECT_EQ(Read(v, space), kNtfsSpaceBadBitmap);

  // A device that fails the bitmap's reads (record 6 already in the record cache).
  engine::CDisk disk;
  auto device = std::make_unique<platform::MemoryBlockDevice>(volume_);
  platform::MemoryBlockDevice* memory = device.get();
  disk.Attach(std::move(device), true);
  ASSERT_NE(disk.Mft().ReadFileRecord(kNtfsBitmapRecord, false, true, false), nullptr);
  memory->FailReads(2);
  EXPECT_EQ(ReadNtfsFreeSpace(disk, space), kNtfsSpaceReadFailed);

  // None of the refusals touched the volume's own result.
  EXPECT_EQ(Read(volume_, space), kNtfsSpaceOk);
}

}  // namespace
}  // namespace stow::discovery
