// The finaliser on an in-memory volume: what it writes follows from the final
// records (the cluster bitmap, the $MFT's $BITMAP, the mirror and the boot
// sector's pointer to it), $Bitmap moves out of the new $MFT's way, and every
// doubt (a cluster named twice or past the volume, runs that never arrived,
// runs that do not cover their VCNs) fails instead of writing.
#include <gtest/gtest.h>

#include <algorithm>

#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestination.h"
#include "engine/destination/VolumeFinaliser.h"
#include "engine/disk/Disk.h"
#include "engine/ntfs/RunList.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/tasks/TaskTestSupport.h"

namespace stow::engine {
namespace {

using testing::Buffer;
using testing::EncodeRuns;
using testing::PlannedRun;
using testing::RecordBuilder;
using testing::TestVolume;

constexpr uint64_t kClusters = 40960;  // 512-byte clusters
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint64_t kMftBitmapCluster = 90;
constexpr uint64_t kMirrorCluster = 100;
constexpr uint64_t kLogCluster = 200;
constexpr uint64_t kFileCluster = 500;

Buffer DataRecord(uint32_t number, const std::vector<PlannedRun>& runs, uint64_t lastVcn,
                  uint64_t dataSize) {
  return RecordBuilder(number)
      .NonResident(ntfs::kAttrData, EncodeRuns(runs), 0, lastVcn, (lastVcn + 1) * 512, dataSize)
      .OnDisk();
}

struct Layout {
  std::vector<PlannedRun> mftRuns{{64, 16}};
  std::vector<PlannedRun> bitmapRuns{{10, 300}};
  std::vector<PlannedRun> fileRuns{{4, kFileCluster}, {4, -1}};
  uint64_t fileLastVcn = 7;
  bool secondFile = false;
  // Records 20 and 21 continue the source's $MFT (extents at clusters 700 and 710).
  bool mftExtensions = false;
};

Buffer MftExtensionRecord(uint32_t number, uint64_t cluster) {
  RecordBuilder r(number);
  r.NonResident(ntfs::kAttrData, EncodeRuns({{4, static_cast<int64_t>(cluster)}}), 64, 67, 0, 0);
  StoreLe64(&r.Raw()[ntfs::kBaseRecordOffset], uint64_t{1} << 48);
  return r.OnDisk();
}

struct FinalisedVolume {
  TestVolume layout;
  platform::MemoryBlockDevice* device = nullptr;
  CDisk disk;
  DiskDestination destination{disk.Mft(), disk.Device()};
  std::vector<uint64_t> rewritten{AttributeKey(1, 0), AttributeKey(2, 0), AttributeKey(30, 0)};

  explicit FinalisedVolume(const Layout& l = {}) {
    layout.sectorsPerCluster = 1;
    layout.clusters = kClusters;
    layout.mftRuns = l.mftRuns;
    layout.records.resize(32);
    layout.records[0] =
        layout.MftRecord()
            .NonResident(kAttrBitmap, EncodeRuns({{1, kMftBitmapCluster}}), 0, 0, 512, 8)
            .OnDisk();
    layout.records[1] = DataRecord(1, {{8, kMirrorCluster}}, 7, 4096);
    layout.records[2] = DataRecord(2, {{8, kLogCluster}}, 7, 4096);
    layout.records[6] = DataRecord(6, l.bitmapRuns, 9, 5120);
    layout.records[7] = DataRecord(7, {{2, 0}}, 1, 1024);
    layout.records[30] = DataRecord(30, l.fileRuns, l.fileLastVcn, 4096);
    if (l.mftExtensions) {
      layout.records[20] = MftExtensionRecord(20, 700);
      layout.records[21] = MftExtensionRecord(21, 710);
    }
    if (l.secondFile) {
      layout.records[31] = DataRecord(31, {{2, kFileCluster + 2}}, 1, 1024);
      rewritten.push_back(AttributeKey(31, 0));
    }
    auto built = layout.Build();
    // The log of a volume that was shut down cleanly: never used.
    std::fill_n(built->Data().begin() + kLogCluster * 512, 4096, std::byte{0xFF});
    device = built.get();
    disk.Attach(std::move(built), true);
    uint64_t total = 0;
    EXPECT_NE(disk.Mft().BuildEntryList(total, false, 24), 0u);
    EXPECT_TRUE(destination.LoadBitmap());
    EXPECT_TRUE(disk.Mft().LoadRecordCache());
  }

  bool Bit(uint64_t clusterOfBitmap, uint64_t n) const {
    const uint64_t at = clusterOfBitmap * 512 + n / 8;
    return (static_cast<unsigned>(device->Data()[at]) >> (n % 8) & 1u) != 0;
  }
  std::vector<ntfs::DataRun> RunsOf(uint32_t record, uint32_t type) {
    std::vector<ntfs::DataRun> runs;
    const std::byte* r = disk.Mft().ReadFileRecord(record, true, true, false);
    if (r == nullptr) return runs;
    ntfs::AttributeWalker walk(Bytes(r, 1024));
    for (ntfs::Attribute a; walk.Next(a);) {
      if (a.type == type) {
        EXPECT_EQ(ntfs::DecodeAttributeRuns(a.bytes, runs), ntfs::RunListError::kNone);
      }
    }
    return runs;
  }
};

TEST(VolumeFinaliser, WritesWhatTheRecordsSay) {
  FinalisedVolume v;
  ASSERT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten), TaskError::kNone);
  // The cluster bitmap: exactly the clusters the run lists name.
  const std::vector<std::pair<uint64_t, uint64_t>> used = {
      {0, 2},           {16, 64},  {kMftBitmapCluster, 1}, {kMirrorCluster, 8},
      {kLogCluster, 8}, {300, 10}, {kFileCluster, 4}};
  uint64_t expected = 0;
  for (uint64_t c = 0; c < kClusters; ++c) {
    bool inUse = false;
    for (const auto& [first, count] : used) inUse = inUse || (c >= first && c < first + count);
    if (v.Bit(300, c) != inUse) {
      ADD_FAILURE() << "cluster " << c << (inUse ? " should be in use" : " should be free");
      break;
    }
    expected += inUse;
  }
  EXPECT_EQ(expected, 97u);
  // The $MFT's $BITMAP: records 0, 1, 2, 6, 7 and 30 are in use.
  EXPECT_EQ(v.device->Data()[kMftBitmapCluster * 512], std::byte{0xC7});
  EXPECT_EQ(v.device->Data()[kMftBitmapCluster * 512 + 3], std::byte{0x40});
  // The mirror holds the first four records, and the boot sector points at it.
  EXPECT_TRUE(std::equal(v.device->Data().begin() + 16 * 512, v.device->Data().begin() + 24 * 512,
                         v.device->Data().begin() + kMirrorCluster * 512));
  EXPECT_EQ(LoadLe64(&v.device->Data()[56]), kMirrorCluster);
  // A clean log is left as it is.
  EXPECT_EQ(v.device->Data()[kLogCluster * 512 + 100], std::byte{0xFF});
}

TEST(VolumeFinaliser, FreesTheSourcesMftExtensionRecords) {
  Layout l;
  l.mftExtensions = true;
  FinalisedVolume v(l);
  // The destination's own record 21 as formatted: a plain record in use.
  const RecordBuilder own =
      std::move(RecordBuilder(21).Resident(ntfs::kAttrStandardInformation, Buffer(72)));
  Buffer formatted(24 * 1024);
  const Buffer ownOnDisk = own.OnDisk();
  std::copy(ownOnDisk.begin(), ownOnDisk.end(), formatted.begin() + 21 * 1024);
  ASSERT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten, formatted), TaskError::kNone);

  const std::byte* r20 = v.disk.Mft().ReadFileRecord(20, true, true, false);
  ASSERT_NE(r20, nullptr);
  EXPECT_FALSE(ntfs::RecordInUse(Bytes(r20, 1024)));
  EXPECT_EQ(LoadLe64(r20 + ntfs::kBaseRecordOffset), 0u);
  EXPECT_EQ(LoadLe32(r20 + 56), ntfs::kAttrEnd);  // no attribute names an extent any more
  const std::byte* r21 = v.disk.Mft().ReadFileRecord(21, true, true, false);
  ASSERT_NE(r21, nullptr);
  const Buffer ownFixed = own.Fixed();
  EXPECT_TRUE(std::equal(ownFixed.begin(), ownFixed.end(), r21));
  // Neither extent keeps its clusters; the $MFT's $BITMAP has 21 and not 20.
  EXPECT_FALSE(v.Bit(300, 700));
  EXPECT_FALSE(v.Bit(300, 710));
  EXPECT_EQ(v.device->Data()[kMftBitmapCluster * 512 + 2], std::byte{0x20});
}

TEST(VolumeFinaliser, MovesBitmapOutOfTheNewMft) {
  Layout l;
  l.bitmapRuns = {{10, 20}};  // inside the $MFT's clusters [16, 80)
  FinalisedVolume v(l);
  ASSERT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten), TaskError::kNone);
  const auto runs = v.RunsOf(6, ntfs::kAttrData);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_TRUE(runs[0].lcn + runs[0].length <= 16 || runs[0].lcn >= 80) << runs[0].lcn;
  EXPECT_EQ(runs[0].length, 10u);
  EXPECT_TRUE(v.Bit(runs[0].lcn, runs[0].lcn));  // the new place is in use, by itself
  EXPECT_TRUE(v.Bit(runs[0].lcn, 16));
  // The records over which $Bitmap used to lie are records still, not its bits.
  const Bytes record2(&v.device->Data()[20 * 512], 1024);
  EXPECT_TRUE(ntfs::HasFileSignature(record2));
  EXPECT_EQ(ntfs::RecordNumberField(record2), 2u);
}

TEST(VolumeFinaliser, GrowsTheMftBitmapForALargerMft) {
  Layout l;
  l.mftRuns = {{64, 16}, {9000, 12000}};  // 4,532 records: 568 bytes of $BITMAP
  FinalisedVolume v(l);
  ASSERT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten), TaskError::kNone);
  const auto runs = v.RunsOf(0, kAttrBitmap);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].lcn, 2u);  // the first two free clusters in a row
  EXPECT_EQ(runs[0].length, 2u);
  const std::byte* record0 = v.disk.Mft().ReadFileRecord(0, true, true, false);
  ASSERT_NE(record0, nullptr);
  ntfs::AttributeWalker walk(Bytes(record0, 1024));
  for (ntfs::Attribute a; walk.Next(a);) {
    ntfs::NonResidentHeader header;
    if (a.type != kAttrBitmap || !ntfs::ReadNonResidentHeader(a.bytes, header)) continue;
    EXPECT_EQ(header.dataSize, 568u);
    EXPECT_EQ(header.allocatedSize, 1024u);
  }
  EXPECT_EQ(v.device->Data()[2 * 512], std::byte{0xC7});
  EXPECT_EQ(v.device->Data()[2 * 512 + 3], std::byte{0x40});
  EXPECT_TRUE(v.Bit(300, 2) && v.Bit(300, 3));
  EXPECT_FALSE(v.Bit(300, kMftBitmapCluster));  // its old place is free again
  EXPECT_TRUE(v.Bit(300, 12000) && v.Bit(300, 20999) && !v.Bit(300, 21000));
}

TEST(VolumeFinaliser, RefusesAClusterNamedTwice) {
  test::LogCapture log;
  Layout l;
  l.secondFile = true;
  FinalisedVolume v(l);
  const Buffer before = v.device->Data();
  EXPECT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten),
            TaskError::kDestinationInconsistent);
  EXPECT_EQ(log.Count("cluster 502 is named twice"), 1);
  // Nothing but the flushed records was written: the bitmap and mirror are as they were.
  EXPECT_TRUE(std::equal(before.begin() + kMirrorCluster * 512,
                         before.begin() + (kMirrorCluster + 8) * 512,
                         v.device->Data().begin() + kMirrorCluster * 512));
  EXPECT_TRUE(std::equal(before.begin() + 300 * 512, before.begin() + 310 * 512,
                         v.device->Data().begin() + 300 * 512));
}

TEST(VolumeFinaliser, RefusesRunsPastTheVolumeMissingOrShortOfTheirVcns) {
  Layout past;
  past.fileRuns = {{4, kClusters - 2}, {4, -1}};
  FinalisedVolume beyond(past);
  EXPECT_EQ(FinaliseDestination(beyond.disk, beyond.destination, beyond.rewritten),
            TaskError::kDestinationInconsistent);

  FinalisedVolume missing;
  missing.rewritten.pop_back();  // record 30's runs never arrived
  EXPECT_EQ(FinaliseDestination(missing.disk, missing.destination, missing.rewritten),
            TaskError::kDestinationInconsistent);

  Layout shortRuns;
  shortRuns.fileLastVcn = 9;  // the runs cover 8 clusters
  FinalisedVolume vcns(shortRuns);
  EXPECT_EQ(FinaliseDestination(vcns.disk, vcns.destination, vcns.rewritten),
            TaskError::kDestinationInconsistent);
}

TEST(VolumeFinaliser, ALogThatAsksForAReplayIsReset) {
  FinalisedVolume v;
  std::byte* page = &v.device->Data()[kLogCluster * 512];
  std::fill_n(page, 4096, std::byte{0});
  std::memcpy(page, "RSTR", 4);
  StoreLe16(page + 24, 0x30);
  ASSERT_EQ(FinaliseDestination(v.disk, v.destination, v.rewritten), TaskError::kNone);
  EXPECT_TRUE(std::all_of(page, page + 8 * 512, [](std::byte b) { return b == std::byte{0xFF}; }));
}

}  // namespace
}  // namespace stow::engine
