// The destination fix-up's pure parts: run encoding, run-list and value edits
// of file records, the free-extent list, bitmap bits, the $MFT's new size, and
// the $LogFile's state.
#include <gtest/gtest.h>

#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/destination/VolumeFinaliser.h"
#include "engine/ntfs/RunList.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/support/LogTestSupport.h"
#include "tests/tasks/TaskTestSupport.h"

namespace stow::engine {
namespace {

using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;
using testing::ToBuffer;

const auto* const kScratch = ::testing::AddGlobalTestEnvironment(new test::ScratchWorkingDirectory);

Buffer Encoded(int64_t offset, uint64_t length) {
  EncodedRun run;
  if (!EncodeRun(offset, length, run)) return {};
  return Buffer(run.bytes.begin(), run.bytes.begin() + static_cast<std::ptrdiff_t>(run.size));
}

// The run list of the attribute with `instance` in a record (fix-ups applied).
Buffer RunListOf(const Buffer& record, uint16_t instance) {
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance != instance) continue;
    ntfs::NonResidentHeader header;
    if (!ntfs::ReadNonResidentHeader(a.bytes, header)) return {};
    return Buffer(a.bytes.begin() + header.runListOffset, a.bytes.end());
  }
  return {};
}

std::vector<ntfs::DataRun> RunsOf(const Buffer& record, uint16_t instance) {
  std::vector<ntfs::DataRun> runs;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance == instance) {
      EXPECT_EQ(ntfs::DecodeAttributeRuns(a.bytes, runs), ntfs::RunListError::kNone);
    }
  }
  return runs;
}

TEST(RunEncoding, FieldsTakeTheFewestBytesThatKeepValueAndSign) {
  EXPECT_EQ(Encoded(0, 16), ToBuffer({0x01, 0x10}));  // sparse: no offset bytes
  EXPECT_EQ(Encoded(0x1234, 0x7F), ToBuffer({0x21, 0x7F, 0x34, 0x12}));
  EXPECT_EQ(Encoded(1, 0x80), ToBuffer({0x12, 0x80, 0x00, 0x01}));  // length keeps a clear top bit
  EXPECT_EQ(Encoded(0x80, 1), ToBuffer({0x21, 0x01, 0x80, 0x00}));  // positive offset padded
  EXPECT_EQ(Encoded(-1, 1), ToBuffer({0x11, 0x01, 0xFF}));
  EXPECT_EQ(Encoded(-200, 16), ToBuffer({0x21, 0x10, 0x38, 0xFF}));  // negative offset padded
  EXPECT_EQ(Encoded(-0x80, 1), ToBuffer({0x11, 0x01, 0x80}));
  EXPECT_EQ(Encoded(INT64_MIN, 1).size(), 10u);
  EXPECT_TRUE(Encoded(5, 0).empty());                  // no run of 0 clusters
  EXPECT_TRUE(Encoded(5, uint64_t{1} << 63).empty());  // would need 9 length bytes
}

TEST(RunEncoding, EveryEncodedRunDecodesToItsValues) {
  const int64_t offsets[] = {
      0,   1,      -1,     127,     128,          -128,          -129,      255,
      256, 0x7FFF, 0x8000, -0x8000, 0x123456789A, -0x123456789A, INT64_MAX, INT64_MIN + 1};
  const uint64_t lengths[] = {1, 0x7F, 0x80, 0xFF, 0x100, 0xFFFFFF, 0x123456789ABCull};
  for (int64_t offset : offsets) {
    for (uint64_t length : lengths) {
      const Buffer bytes = Encoded(offset, length);
      ASSERT_FALSE(bytes.empty());
      ntfs::RunHeader run;
      ASSERT_EQ(ntfs::DecodeRunHeader(bytes, 0, run), ntfs::RunStatus::kRun);
      EXPECT_EQ(run.length, length);
      EXPECT_EQ(run.offset, offset);
      EXPECT_EQ(run.sparse, offset == 0);
      EXPECT_EQ(run.size, bytes.size());
    }
  }
}

TEST(RunListChange, AppendingARunEncodesItRelativeToTheLastStart) {
  // Runs whose offsets add up to 1,200: 100 clusters at 1,000, 50 at 1,200.
  const Buffer record = RecordBuilder(30)
                            .Resident(ntfs::kAttrStandardInformation, Buffer(48))
                            .NonResident(ntfs::kAttrData, EncodeRuns({{100, 1000}, {50, 1200}}), 0,
                                         149, 150 * 4096, 150 * 4096)
                            .Fixed();
  RunListChange change;
  change.instance = 1;
  change.firstCluster = 1000;
  change.clusterCount = 16;
  change.append = true;
  Buffer out;
  ASSERT_EQ(ChangeRunList(record, change, out), RecordEdit::kOk);
  const Buffer list = RunListOf(out, 1);
  const Buffer expected = ToBuffer({0x21, 0x64, 0xE8, 0x03, 0x21, 0x32, 0xC8, 0x00,  // kept
                                    0x21, 0x10, 0x38, 0xFF, 0x00});
  ASSERT_GE(list.size(), expected.size());
  EXPECT_EQ(Buffer(list.begin(), list.begin() + 13), expected);
  // Header fields stay: the record's attributes still walk to the end marker.
  ntfs::AttributeWalker walk(out);
  for (ntfs::Attribute a; walk.Next(a);) {
  }
  EXPECT_EQ(walk.End(), ntfs::WalkEnd::kEndMarker);
  EXPECT_EQ(ntfs::BytesInUse(out) % 8, 0u);

  // A sparse run appended has no offset bytes: the header's high nibble is 0.
  change.firstCluster = 0;
  Buffer sparse;
  ASSERT_EQ(ChangeRunList(out, change, sparse), RecordEdit::kOk);
  const Buffer list2 = RunListOf(sparse, 1);
  EXPECT_EQ(list2[12], std::byte{0x01});
  EXPECT_EQ(list2[13], std::byte{0x10});
  const auto runs = RunsOf(sparse, 1);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[2].lcn, 1000u);
  EXPECT_TRUE(runs[3].sparse);
}

TEST(RunListChange, ReplacingRecordZerosRunSetsItsSizesAndLastVcn) {
  const Buffer record =
      RecordBuilder(0)
          .NonResident(ntfs::kAttrData, EncodeRuns({{7, 4}}), 0, 6, 7 * 4096, 27 * 1024)
          .Fixed();
  RunListChange change;
  change.instance = 0;
  change.firstCluster = 4;
  change.clusterCount = 25000;
  change.setSizes = true;
  change.clusterBytes = 4096;
  change.dataSize = 100000 * 1024;
  change.initializedSize = 100000 * 1024;
  Buffer out;
  ASSERT_EQ(ChangeRunList(record, change, out), RecordEdit::kOk);
  ntfs::AttributeWalker walk(out);
  ntfs::Attribute a;
  ASSERT_TRUE(walk.Next(a));
  ntfs::NonResidentHeader header;
  ASSERT_TRUE(ntfs::ReadNonResidentHeader(a.bytes, header));
  EXPECT_EQ(header.lastVcn, 24999u);
  EXPECT_EQ(header.allocatedSize, 25000u * 4096);
  EXPECT_EQ(header.dataSize, 100000u * 1024);
  const auto runs = RunsOf(out, 0);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].lcn, 4u);
  EXPECT_EQ(runs[0].length, 25000u);
}

TEST(RunListChange, RefusesWhatItCannotDoAndLeavesNothingHalfDone) {
  const Buffer record =
      RecordBuilder(40)
          .Resident(ntfs::kAttrData, Buffer(10))
          .NonResident(ntfs::kAttrData, EncodeRuns({{1, 500}}), 0, 0, 4096, 4096, u"s")
          .Fixed();
  RunListChange change;
  change.firstCluster = 900;
  change.clusterCount = 1;
  Buffer out;
  change.instance = 0;
  EXPECT_EQ(ChangeRunList(record, change, out), RecordEdit::kResident);
  EXPECT_TRUE(out.empty());
  change.instance = 9;
  EXPECT_EQ(ChangeRunList(record, change, out), RecordEdit::kNoAttribute);
  Buffer damaged = record;
  StoreLe32(&damaged[56 + 4], 3000);  // first attribute runs past the record
  change.instance = 1;
  EXPECT_EQ(ChangeRunList(damaged, change, out), RecordEdit::kMalformed);
  EXPECT_TRUE(out.empty());
  // Appending at the start of the last run would read back as a sparse run.
  change.append = true;
  change.firstCluster = 500;
  EXPECT_EQ(ChangeRunList(record, change, out), RecordEdit::kMalformed);
}

TEST(RunListChange, ARunListThatOutgrowsItsRecordIsRefused) {
  Buffer record = RecordBuilder(41)
                      .Resident(ntfs::kAttrStandardInformation, Buffer(72))
                      .NonResident(ntfs::kAttrData, EncodeRuns({{1, 10}}), 0, 0, 4096, 4096)
                      .Fixed();
  RunListChange change;
  change.instance = 1;
  change.clusterCount = 1;
  change.append = true;
  int appended = 0;
  for (uint64_t i = 1;; ++i) {
    // Runs far apart need 5 offset bytes each, so the list grows fast.
    change.firstCluster = i % 2 == 0 ? 10 : 0x10000000000ull + i;
    Buffer out;
    const RecordEdit edit = ChangeRunList(record, change, out);
    if (edit == RecordEdit::kDoesNotFit) {
      EXPECT_TRUE(out.empty());
      break;
    }
    ASSERT_EQ(edit, RecordEdit::kOk);
    ASSERT_LE(ntfs::BytesInUse(out), 1024u);
    ASSERT_EQ(RunsOf(out, 1).size(), i + 1);
    record = std::move(out);
    ++appended;
    ASSERT_LT(appended, 200);
  }
  EXPECT_GT(appended, 50);
  // A record that allows fewer bytes than its buffer holds is held to them.
  StoreLe32(&record[kBytesAllocatedOffset], 512);
  Buffer out;
  EXPECT_EQ(ChangeRunList(record, change, out), RecordEdit::kDoesNotFit);
}

TEST(ResidentValue, GrowsAndShrinksWithTheAttributesAfterItMoving) {
  const Buffer record =
      RecordBuilder(0)
          .Resident(0xB0, Buffer(8, std::byte{0x0F}))
          .NonResident(ntfs::kAttrData, EncodeRuns({{4, 16}}), 0, 3, 4 * 4096, 4 * 4096)
          .Fixed();
  Buffer value(200, std::byte{0xA5});
  Buffer out;
  ASSERT_EQ(SetResidentValue(record, 0, value, out), RecordEdit::kOk);
  ntfs::AttributeWalker walk(out);
  ntfs::Attribute a;
  ASSERT_TRUE(walk.Next(a));
  Bytes stored;
  ASSERT_TRUE(ntfs::ResidentValue(a.bytes, stored));
  EXPECT_EQ(Buffer(stored.begin(), stored.end()), value);
  ASSERT_TRUE(walk.Next(a));
  EXPECT_EQ(a.type, ntfs::kAttrData);
  EXPECT_EQ(RunsOf(out, 1).at(0).lcn, 16u);
  EXPECT_EQ(SetResidentValue(record, 0, Buffer(2000), out), RecordEdit::kDoesNotFit);
  EXPECT_EQ(SetResidentValue(record, 1, value, out), RecordEdit::kMalformed);
}

TEST(FreeExtents, AWholeExtentIsGrantedWhenTheRequestIsLarger) {
  test::LogCapture log;
  FreeExtentList list;
  list.Assign({{3000, 1000}});
  uint64_t first = 0;
  uint64_t granted = 0;
  ASSERT_TRUE(list.Allocate(1500, first, granted));
  EXPECT_EQ(first, 3000u);
  EXPECT_EQ(granted, 1000u);
  EXPECT_TRUE(list.Empty());
  EXPECT_EQ(log.Count("change lcn : 1000 !"), 1);
  EXPECT_FALSE(list.Allocate(500, first, granted));
}

TEST(FreeExtents, ASmallerRequestShrinksTheFirstExtentFromTheFront) {
  FreeExtentList list;
  list.Assign({{5000, 100}, {10, 50}});
  uint64_t first = 0;
  uint64_t granted = 0;
  ASSERT_TRUE(list.Allocate(10, first, granted));
  EXPECT_EQ(first, 5000u);
  EXPECT_EQ(granted, 10u);
  EXPECT_EQ(list.Extents().front(), (ClusterExtent{5010, 90}));
}

TEST(FreeExtents, BuiltLargestFirstWithTheStretchAtTheEndIncluded) {
  // Clusters 0-1 used, 2-4 free, 5 used, 6-8 free, 9-12 used, 13-19 free (to the end).
  Buffer bitmap(3);
  SetClusterBits(bitmap, 24, 0, 2);
  SetClusterBits(bitmap, 24, 5, 1);
  SetClusterBits(bitmap, 24, 9, 4);
  SetClusterBits(bitmap, 24, 20, 4);  // past the volume: set, as NTFS keeps them
  FreeExtentList list;
  list.Build(bitmap, 20);
  const std::vector<ClusterExtent> expected = {{13, 7}, {2, 3}, {6, 3}};
  EXPECT_EQ(list.Extents(), expected);
  // Bits past the volume's clusters never become free space, even when clear.
  Buffer clear(3);
  list.Build(clear, 20);
  EXPECT_EQ(list.Extents(), (std::vector<ClusterExtent>{{0, 20}}));
  EXPECT_EQ(list.FreeClusters(), 20u);
}

TEST(FreeExtents, TheMftZoneIsKeptFreeOfData) {
  // M = 100, zone of 50: [100, 150).
  FreeExtentList list;
  list.Assign({{110, 20}, {130, 40}, {10, 20}, {60, 30}, {100, 5}});
  list.ReserveZone(100, 50);
  const std::vector<ClusterExtent> expected = {
      {150, 20},  // started inside the zone: keeps only what lies beyond it
      {10, 20},   // before the zone: untouched
      {60, 30},
  };
  EXPECT_EQ(list.Extents(), expected);

  // An extent across the whole zone keeps its part before M, and its part
  // beyond the zone becomes an extent of its own, in size order.
  list.Assign({{20, 10}, {50, 200}});
  list.ReserveZone(100, 50);
  EXPECT_EQ(list.Extents(), (std::vector<ClusterExtent>{{150, 100}, {20, 10}, {50, 50}}));
}

TEST(ClusterBits, MarkingThreeToTwelve) {
  Buffer bitmap(4);
  SetClusterBits(bitmap, 32, 3, 10);
  EXPECT_EQ(bitmap[0], std::byte{0xF8});  // bits 3..7
  EXPECT_EQ(bitmap[1], std::byte{0x1F});  // bits 0..4
  EXPECT_EQ(bitmap[2], std::byte{0x00});
  EXPECT_TRUE(AnyClusterBit(bitmap, 12, 1));
  EXPECT_FALSE(AnyClusterBit(bitmap, 13, 19));
  EXPECT_TRUE(AnyClusterBit(bitmap, 30, 5));  // past the bitmap counts as used
  // Never past the limit, whatever the count.
  SetClusterBits(bitmap, 20, 16, UINT64_MAX);
  EXPECT_EQ(bitmap[2], std::byte{0x0F});
  EXPECT_EQ(bitmap[3], std::byte{0x00});
  SetClusterBits(bitmap, 32, 4, 2, false);
  EXPECT_EQ(bitmap[0], std::byte{0xC8});
  EXPECT_EQ(CountClusterBits(bitmap, 32), 12u);
  EXPECT_EQ(CountClusterBits(bitmap, 7), 2u);
  uint64_t first = 0;
  EXPECT_TRUE(FindClearStretch(bitmap, 32, 8, first));
  EXPECT_EQ(first, 20u);
  EXPECT_FALSE(FindClearStretch(bitmap, 32, 13, first));
}

TEST(MftSize, RecordsNeedTwoSectorsEachAndTheZoneCoversTheMft) {
  EXPECT_EQ(ResizedMftClusters(100000, 8), 25000u);
  EXPECT_EQ(ResizedMftClusters(27, 8), 7u);
  EXPECT_EQ(ResizedMftClusters(27, 8, 9), 9u);  // what the source's runs send
  EXPECT_EQ(ResizedMftClusters(64, 1), 128u);
  // 10 % more than the records need...
  EXPECT_EQ(MftZoneClusters(100024, 8, 25000), 27500u);
  // ...but never less than the $MFT, which the integer steps would give for
  // small tables (76 records: 19 clusters -> 11).
  EXPECT_EQ(MftZoneClusters(76, 8, 13), 13u);
}

TEST(LogFile, OnlyAnEmptyOrCleanLogIsKept) {
  EXPECT_EQ(ClassifyLogFileStart(Buffer(4096, std::byte{0xFF})), LogFileState::kEmpty);
  Buffer page(4096);
  std::memcpy(page.data(), "RSTR", 4);
  StoreLe16(&page[24], 0x30);  // restart area offset
  StoreLe16(&page[0x30 + 12], 0xFFFF);
  EXPECT_EQ(ClassifyLogFileStart(page), LogFileState::kClean);
  StoreLe16(&page[0x30 + 12], 0);
  EXPECT_EQ(ClassifyLogFileStart(page), LogFileState::kDirty);
  StoreLe16(&page[0x30 + 14], 0x0002);
  EXPECT_EQ(ClassifyLogFileStart(page), LogFileState::kClean);
  StoreLe16(&page[24], 4095);  // restart area past the page
  EXPECT_EQ(ClassifyLogFileStart(page), LogFileState::kDirty);
  std::memcpy(page.data(), "CHKD", 4);
  EXPECT_EQ(ClassifyLogFileStart(page), LogFileState::kDirty);
  EXPECT_EQ(ClassifyLogFileStart(Buffer(10, std::byte{0xFF})), LogFileState::kDirty);
}

}  // namespace
}  // namespace stow::engine
