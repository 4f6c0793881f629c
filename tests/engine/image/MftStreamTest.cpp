// The walk over a $MFT that continues in extension records, on records built
// byte by byte: where each chunk goes, and what it refuses.
#include <gtest/gtest.h>

#include "engine/core/TaskError.h"
#include "engine/image/MftExtents.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/testlib/TaskErrorPrint.h"

namespace stow::engine {
namespace {

using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;
using Role = MftStreamTracker::Role;

constexpr uint64_t kCluster = 4096;
constexpr uint32_t kAttrBitmap = 0xB0;
// Record 0 holds VCNs 0..6 (28 records); record 16 holds VCNs 7..9.
constexpr uint64_t kFirstClusters = 7;
constexpr uint64_t kTotalClusters = 10;
constexpr uint16_t kRecord0Data = 1;   // instance of record 0's $DATA (after the list)
constexpr uint16_t kExtentData = 0;    // instance of the extent in record 16
constexpr uint16_t kExtentBitmap = 1;  // a $BITMAP extent beside it

Buffer ListEntry(uint32_t type, uint64_t vcn, uint64_t record, uint16_t instance) {
  Buffer e(32);
  StoreLe32(&e[0], type);
  StoreLe16(&e[4], 32);
  e[7] = std::byte{26};
  StoreLe64(&e[8], vcn);
  StoreLe64(&e[16], record | (uint64_t{1} << 48));
  StoreLe16(&e[24], instance);
  return e;
}

// Record 0 in on-disk form, with a resident attribute list naming `listed` as
// the holder of VCN 7 (none: no list).
Buffer Record0(int64_t listed = 16) {
  RecordBuilder r(0);
  if (listed >= 0) {
    Buffer list = ListEntry(ntfs::kAttrData, 0, 0, kRecord0Data);
    const Buffer more = ListEntry(ntfs::kAttrData, kFirstClusters, static_cast<uint64_t>(listed),
                                  kExtentData);
    list.insert(list.end(), more.begin(), more.end());
    r.Resident(ntfs::kAttrAttributeList, list);
  } else {
    r.Resident(ntfs::kAttrStandardInformation, Buffer(72));
  }
  r.NonResident(ntfs::kAttrData, EncodeRuns({{3, 100}, {4, 200}}), 0, kFirstClusters - 1,
                kTotalClusters * kCluster, kTotalClusters * kCluster);
  return r.OnDisk();
}

// An extension record of $MFT holding VCNs first..last, fix-ups applied.
Buffer Extension(uint32_t number, uint64_t first, uint64_t last) {
  RecordBuilder r(number);
  r.NonResident(ntfs::kAttrData, EncodeRuns({{last - first + 1, 300}}), first, last, 0, 0);
  r.NonResident(kAttrBitmap, EncodeRuns({{1, 400}}), 1, 1, 0, 0);
  StoreLe64(&r.Raw()[ntfs::kBaseRecordOffset], uint64_t{1} << 48);
  return r.Fixed();
}

MftChunk Chunk(uint64_t record, uint16_t instance, uint64_t clusters) {
  return MftChunk{record, instance, clusters * kCluster, 0, clusters * kCluster};
}

// The first extent, placed as the stream brings it.
void PlaceFirstExtent(MftStreamTracker& mft) {
  std::string why;
  for (uint64_t clusters : {3, 4}) {
    Role role;
    uint64_t offset = 0;
    ASSERT_EQ(mft.Classify(Chunk(0, kRecord0Data, clusters), role, offset, why), TaskError::kNone)
        << why;
    ASSERT_EQ(role, Role::kMft);
    mft.Placed(offset, clusters * kCluster, offset);
  }
}

SourceMftLayout Layout(int64_t listed = 16) {
  SourceMftLayout layout;
  std::string why;
  EXPECT_EQ(ReadSourceMftLayout(Record0(listed), 3 * kCluster, layout, why), TaskError::kNone)
      << why;
  return layout;
}

TEST(MftStream, RecordZeroGivesTheClusterSizeSizesAndTheListedExtents) {
  const SourceMftLayout layout = Layout();
  EXPECT_EQ(layout.clusterSize, kCluster);
  EXPECT_EQ(layout.firstExtentClusters, kFirstClusters);
  EXPECT_EQ(layout.totalClusters, kTotalClusters);
  EXPECT_TRUE(layout.HasExtensions());
  EXPECT_TRUE(layout.listResident);
  EXPECT_EQ(layout.listedExtents, (std::vector<std::pair<uint64_t, uint64_t>>{{7, 16}}));

  // The cluster size is the first run's bytes over its clusters, whatever the
  // destination's: the writer compares the two and names both.
  SourceMftLayout small;
  std::string why;
  ASSERT_EQ(ReadSourceMftLayout(Record0(), 3 * 1024, small, why), TaskError::kNone) << why;
  EXPECT_EQ(small.clusterSize, 1024u);
  EXPECT_EQ(ReadSourceMftLayout(Record0(), 3 * 1024 + 512, small, why),
            TaskError::kSourceMftUnsupported);
  EXPECT_NE(why.find("arrived as 3584 bytes"), std::string::npos) << why;
  // Runs that stop short of the $MFT's size with nothing naming the rest.
  EXPECT_EQ(ReadSourceMftLayout(Record0(-1), 3 * kCluster, small, why),
            TaskError::kSourceMftUnsupported);
  EXPECT_NE(why.find("no attribute list"), std::string::npos) << why;
}

TEST(MftStream, AnExtentGoesToItsVcnAndTheRecordsOtherAttributesAreSkipped) {
  MftStreamTracker mft(Layout());
  PlaceFirstExtent(mft);
  EXPECT_FALSE(mft.Complete());
  EXPECT_TRUE(mft.RecordPlaced(27));
  EXPECT_FALSE(mft.RecordPlaced(28));
  std::string why;
  ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 9), why), TaskError::kNone) << why;
  Role role;
  uint64_t offset = 0;
  ASSERT_EQ(mft.Classify(Chunk(16, kExtentData, 3), role, offset, why), TaskError::kNone) << why;
  EXPECT_EQ(role, Role::kMft);
  EXPECT_EQ(offset, 7 * kCluster);
  mft.Placed(offset, 3 * kCluster, offset);
  EXPECT_TRUE(mft.Complete());
  ASSERT_EQ(mft.Classify(Chunk(16, kExtentBitmap, 1), role, offset, why), TaskError::kNone) << why;
  EXPECT_EQ(role, Role::kSkip);
  // Another record's chunks are the writer's own business.
  ASSERT_EQ(mft.BeginRecord(30, RecordBuilder(30).Fixed(), why), TaskError::kNone) << why;
  ASSERT_EQ(mft.Classify(Chunk(30, 0, 2), role, offset, why), TaskError::kNone) << why;
  EXPECT_EQ(role, Role::kOther);
  EXPECT_EQ(mft.Finish(why), TaskError::kNone) << why;
}

TEST(MftStream, RefusesWhatCannotBePlaced) {
  std::string why;
  Role role;
  uint64_t offset = 0;
  {
    SCOPED_TRACE("a record whose part of the $MFT has not arrived");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    EXPECT_EQ(mft.BeginRecord(29, Extension(29, 7, 9), why), TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("MFT record 29"), std::string::npos) << why;
  }
  {
    SCOPED_TRACE("an extent past the $MFT's end");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 12), why), TaskError::kNone);
    EXPECT_EQ(mft.Classify(Chunk(16, kExtentData, 6), role, offset, why),
              TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("not an extent"), std::string::npos) << why;
  }
  {
    SCOPED_TRACE("runs longer than the extent's VCNs");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 8), why), TaskError::kNone);
    EXPECT_EQ(mft.Classify(Chunk(16, kExtentData, 3), role, offset, why),
              TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("reach past"), std::string::npos) << why;
  }
  {
    SCOPED_TRACE("two records naming the same part of the $MFT");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 8), why), TaskError::kNone);
    ASSERT_EQ(mft.Classify(Chunk(16, kExtentData, 2), role, offset, why), TaskError::kNone) << why;
    mft.Placed(offset, 2 * kCluster, offset);
    ASSERT_EQ(mft.BeginRecord(17, Extension(17, 8, 9), why), TaskError::kNone);
    EXPECT_EQ(mft.Classify(Chunk(17, kExtentData, 2), role, offset, why),
              TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("already holds"), std::string::npos) << why;
  }
  {
    SCOPED_TRACE("a sparse run in the $MFT");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 9), why), TaskError::kNone);
    EXPECT_EQ(mft.Classify(MftChunk{16, kExtentData, 3 * kCluster, 0, 0}, role, offset, why),
              TaskError::kSourceMftUnsupported);
  }
  {
    SCOPED_TRACE("an extent that never came");
    MftStreamTracker mft(Layout());
    PlaceFirstExtent(mft);
    EXPECT_EQ(mft.Finish(why), TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("arrived with 28672 of its 40960 bytes"), std::string::npos) << why;
  }
  {
    SCOPED_TRACE("an extent from another record than the attribute list names");
    MftStreamTracker mft(Layout(17));
    PlaceFirstExtent(mft);
    ASSERT_EQ(mft.BeginRecord(16, Extension(16, 7, 9), why), TaskError::kNone);
    ASSERT_EQ(mft.Classify(Chunk(16, kExtentData, 3), role, offset, why), TaskError::kNone) << why;
    mft.Placed(offset, 3 * kCluster, offset);
    EXPECT_EQ(mft.Finish(why), TaskError::kSourceMftUnsupported);
    EXPECT_NE(why.find("VCN 7 in record 17"), std::string::npos) << why;
  }
}

TEST(MftStream, OnlyABaseReferenceToRecordZeroMakesAnExtensionRecord) {
  EXPECT_TRUE(IsMftExtensionRecord(Extension(16, 7, 9)));
  Buffer base = RecordBuilder(40).Fixed();
  EXPECT_FALSE(IsMftExtensionRecord(base));  // a base record: reference 0
  StoreLe64(&base[ntfs::kBaseRecordOffset], (uint64_t{3} << 48) | 40);
  EXPECT_FALSE(IsMftExtensionRecord(base));  // an extension of record 40
  EXPECT_FALSE(IsMftExtensionRecord(Buffer(20)));
}

}  // namespace
}  // namespace stow::engine
