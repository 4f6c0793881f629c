// The destination operations of DiskDestination on an in-memory volume: $Bitmap read and
// written run by run, the replaced metadata freed, the room for the resized
// $MFT checked, and run lists edited through the record cache.
#include <gtest/gtest.h>

#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestination.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/disk/Disk.h"
#include "engine/ntfs/RunList.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/tasks/TaskTestSupport.h"

namespace stow::engine {
namespace {

using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;
using testing::TestVolume;

constexpr uint64_t kClusters = 40960;    // 512-byte clusters: a 20 MiB volume
constexpr uint64_t kBitmapBytes = 5120;  // one bit per cluster
constexpr uint64_t kLogRun = 5000;       // where the destination's own $LogFile lies
constexpr uint64_t kForeign = 20000;     // in use, named by no record of the entry list

// A volume whose $Bitmap lies in two runs, the second before the first on disk.
struct BitmapVolume {
  TestVolume layout;
  platform::MemoryBlockDevice* device = nullptr;
  CDisk disk;
  DiskDestination destination{disk.Mft(), disk.Device()};

  BitmapVolume() {
    layout.sectorsPerCluster = 1;
    layout.clusters = kClusters;
    layout.mftRuns = {{64, 16}};
    layout.records.resize(32);
    layout.records[0] = layout.MftRecord().OnDisk();
    layout.records[2] =
        RecordBuilder(2)
            .NonResident(ntfs::kAttrData, EncodeRuns({{8, kLogRun}}), 0, 7, 8 * 512, 8 * 512)
            .OnDisk();
    layout.records[6] = RecordBuilder(6)
                            .NonResident(ntfs::kAttrData, EncodeRuns({{4, 3000}, {6, 1000}}), 0, 9,
                                         10 * 512, kBitmapBytes)
                            .OnDisk();
    layout.records[7] = RecordBuilder(7)
                            .NonResident(ntfs::kAttrData, EncodeRuns({{2, 0}}), 0, 1, 1024, 1024)
                            .OnDisk();
    layout.records[30] = RecordBuilder(30)
                             .Resident(ntfs::kAttrStandardInformation, Buffer(48))
                             .NonResident(ntfs::kAttrData, EncodeRuns({{3, 900}}), 0, 2, 1536, 1536)
                             .OnDisk();
    auto built = layout.Build();
    // The bitmap's bytes: in use are $Boot, the $MFT, $Bitmap, the $LogFile and
    // one foreign cluster; the two runs carry distinct patterns.
    Buffer bitmap(kBitmapBytes);
    SetClusterBits(bitmap, kClusters, 0, 2);
    SetClusterBits(bitmap, kClusters, 16, 64);
    SetClusterBits(bitmap, kClusters, 3000, 4);
    SetClusterBits(bitmap, kClusters, 1000, 6);
    SetClusterBits(bitmap, kClusters, kLogRun, 8);
    SetClusterBits(bitmap, kClusters, kForeign, 1);
    for (size_t i = 0; i < 2048; ++i) built->Data()[3000 * 512 + i] = bitmap[i];
    for (size_t i = 2048; i < kBitmapBytes; ++i) built->Data()[1000 * 512 + i - 2048] = bitmap[i];
    device = built.get();
    disk.Attach(std::move(built), true);
    uint64_t total = 0;
    EXPECT_NE(disk.Mft().BuildEntryList(total, false, 24), 0u);
  }
};

TEST(DestinationDisk, BitmapIsReadAndWrittenRunByRun) {
  BitmapVolume v;
  ASSERT_TRUE(v.destination.LoadBitmap());
  EXPECT_EQ(v.destination.BitmapLength(), kBitmapBytes);
  const Buffer& bitmap = v.destination.Bitmap();
  EXPECT_TRUE(ClusterBit(bitmap, 3001));      // from the first run, at offset 0
  EXPECT_TRUE(ClusterBit(bitmap, kForeign));  // from the second run, at offset 2,048
  EXPECT_FALSE(ClusterBit(bitmap, 19999));
  // The free extents follow the bitmap: the largest is the stretch to the end.
  EXPECT_EQ(v.destination.FreeExtents().Extents().front(),
            (ClusterExtent{kForeign + 1, kClusters - kForeign - 1}));

  v.destination.MarkClustersUsed(30000, 8);
  ASSERT_TRUE(v.destination.WriteBitmap());
  // Cluster 30000 is bit 0 of byte 3,750: in the second run, 1,702 bytes in.
  EXPECT_EQ(v.device->Data()[1000 * 512 + 3750 - 2048], std::byte{0xFF});
  EXPECT_EQ(v.device->Data()[3000 * 512 + 3750 - 2048], std::byte{0x00});
}

TEST(DestinationDisk, ABitmapThatDoesNotCoverTheVolumeIsRefused) {
  BitmapVolume v;
  v.disk.Mft().MutableEntries().resize(6);
  EXPECT_FALSE(v.destination.LoadBitmap());
  BitmapVolume w;
  w.layout.records[6] = RecordBuilder(6)
                            .NonResident(ntfs::kAttrData, EncodeRuns({{1, 3000}}), 0, 0, 512, 512)
                            .OnDisk();
  CDisk disk;
  DiskDestination destination(disk.Mft(), disk.Device());
  disk.Attach(w.layout.Build(), true);
  uint64_t total = 0;
  EXPECT_NE(disk.Mft().BuildEntryList(total, false, 24), 0u);
  EXPECT_FALSE(destination.LoadBitmap());
}

TEST(DestinationDisk, ReplacedMetadataIsFreedAndTheKeptRecordsStayInUse) {
  BitmapVolume v;
  ASSERT_TRUE(v.destination.LoadBitmap());
  EXPECT_EQ(v.destination.ReleaseReplacedMetadata(), 8u);
  EXPECT_FALSE(AnyClusterBit(v.destination.Bitmap(), kLogRun, 8));
  EXPECT_TRUE(ClusterBit(v.destination.Bitmap(), 0));         // $Boot
  EXPECT_TRUE(ClusterBit(v.destination.Bitmap(), 16));        // $MFT
  EXPECT_TRUE(ClusterBit(v.destination.Bitmap(), 1000));      // $Bitmap
  EXPECT_TRUE(ClusterBit(v.destination.Bitmap(), kForeign));  // not known to be replaced: kept
}

TEST(DestinationDisk, TheResizedMftMayCoverOnlyWhatMovesWithIt) {
  BitmapVolume v;
  ASSERT_TRUE(v.destination.LoadBitmap());
  // Its own clusters and $Bitmap's (moved at the end) do not count.
  EXPECT_EQ(v.destination.CheckMftRange(2000), TaskError::kNone);
  v.destination.MarkClustersUsed(1500, 1);
  EXPECT_EQ(v.destination.CheckMftRange(2000), TaskError::kMftZoneInUse);
  EXPECT_EQ(v.destination.CheckMftRange(1484), TaskError::kNone);
  EXPECT_EQ(v.destination.CheckMftRange(kClusters),
            TaskError::kMftZoneInUse);  // past the volume
  EXPECT_EQ(v.destination.CheckMftRange(0), TaskError::kMftZoneInUse);
}

TEST(DestinationDisk, RunListsAreEditedInTheRecordCache) {
  test::LogCapture log;
  BitmapVolume v;
  ASSERT_TRUE(v.disk.Mft().LoadRecordCache());
  ASSERT_EQ(v.destination.ChangeFileAttr(30, 1, 7000, 2, false), RecordEdit::kOk);
  ASSERT_EQ(v.destination.ChangeFileAttr(30, 1, 6000, 1, true), RecordEdit::kOk);
  const std::byte* cached = v.disk.Mft().ReadFileRecord(30, false, true, false);
  ASSERT_NE(cached, nullptr);
  std::vector<ntfs::DataRun> runs;
  ntfs::AttributeWalker walk(Bytes(cached, 1024));
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance == 1) {
      EXPECT_EQ(ntfs::DecodeAttributeRuns(a.bytes, runs), ntfs::RunListError::kNone);
    }
  }
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].lcn, 7000u);
  EXPECT_EQ(runs[1].lcn, 6000u);
  // Flushed, the record reaches the disk in on-disk form and reads back the same.
  ASSERT_TRUE(v.disk.Mft().FlushRecordCache());
  const uint64_t at = v.layout.MftByteToVolume(30 * 1024);
  Buffer onDisk(v.device->Data().begin() + static_cast<std::ptrdiff_t>(at),
                v.device->Data().begin() + static_cast<std::ptrdiff_t>(at + 1024));
  EXPECT_EQ(LoadLe16(&onDisk[510]), 0x0203);  // the sequence number at the block end
  ASSERT_TRUE(ntfs::ApplyFixup(onDisk));
  EXPECT_EQ(0, std::memcmp(onDisk.data(), cached, 1024));

  EXPECT_EQ(v.destination.ChangeFileAttr(30, 0, 7000, 2, false), RecordEdit::kResident);
  EXPECT_EQ(log.Count("ChangeFileAttr fail , fileMftNo:0x1e , attrNumber\xA3\xBA"
                      "0x0 , len:0x0"),
            1);
  EXPECT_EQ(v.destination.ChangeFileAttr(31, 1, 7000, 2, false), RecordEdit::kNoRecord);
  EXPECT_EQ(v.destination.ChangeFileAttr(uint64_t{1} << 33, 1, 7000, 2, false),
            RecordEdit::kNoRecord);
}

}  // namespace
}  // namespace stow::engine
