// The pure NTFS parsers: update sequence fix-up, the bounded attribute walk, run
// decoding, the file record size and the volume checks, with hostile records
// mutated one field at a time.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "tests/engine/NtfsTestBuilder.h"

namespace stow::engine {
namespace {

using namespace ntfs;
using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;
using testing::ToBuffer;

uint16_t At16(const Buffer& b, size_t offset) { return LoadLe16(&b[offset]); }

// --- Fix-up ------------------------------------------------------------------

TEST(NtfsFixup, PutsTheSavedBlockEndsBackAndIsRepeatable) {
  RecordBuilder builder(42);
  StoreLe16(&builder.Raw()[510], 0xBEEF);   // real data at the end of block 1
  StoreLe16(&builder.Raw()[1022], 0xCAFE);  // and of block 2
  const Buffer fixed = builder.Fixed();
  Buffer disk = builder.OnDisk();
  EXPECT_EQ(At16(disk, 510), 0x0203);
  EXPECT_EQ(At16(disk, 1022), 0x0203);
  EXPECT_EQ(At16(disk, 50), 0xBEEF);
  EXPECT_EQ(At16(disk, 52), 0xCAFE);

  ASSERT_TRUE(ApplyFixup(disk));
  EXPECT_EQ(disk, fixed);
  ASSERT_TRUE(ApplyFixup(disk));  // twice: the same bytes
  EXPECT_EQ(disk, fixed);
}

TEST(NtfsFixup, SequenceNumberIsNotCompared) {
  Buffer disk = RecordBuilder(7).OnDisk();
  StoreLe16(&disk[510], 0x1111);  // a torn block: its end no longer holds the sequence number
  ASSERT_TRUE(ApplyFixup(disk));
  EXPECT_EQ(At16(disk, 510), At16(disk, 50));
}

TEST(NtfsFixup, UndoWhereAppliedLeavesOnDiskFormAloneAndRestoresFixedForm) {
  RecordBuilder builder(3);
  StoreLe16(&builder.Raw()[510], 0x1234);
  const Buffer disk = builder.OnDisk();

  Buffer already = disk;  // on-disk form: nothing to do
  ASSERT_TRUE(UndoFixupWhereApplied(already));
  EXPECT_EQ(already, disk);

  Buffer fixed = builder.Fixed();  // fixed-up form: back to on-disk form
  ASSERT_TRUE(UndoFixupWhereApplied(fixed));
  EXPECT_EQ(fixed, disk);

  // A plain un-fix-up of an on-disk record would lose the saved block ends.
  Buffer twice = disk;
  ASSERT_TRUE(UndoFixup(twice));
  EXPECT_NE(twice, disk);
}

TEST(NtfsFixup, RefusesArraysThatDoNotFitAndLeavesTheRecordUntouched) {
  struct Case {
    const char* what;
    uint16_t offset;
    uint16_t count;
  };
  const Case cases[] = {
      {"count one short", 48, 2},
      {"count one too many", 48, 4},
      {"count zero", 48, 0},
      {"count huge", 48, 0xFFFF},
      {"array past the record", 1020, 3},
      {"offset huge", 0xFFFF, 3},
      {"array over the first block end", 506, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer disk = RecordBuilder(1).OnDisk();
    StoreLe16(&disk[kUsaOffsetOffset], c.offset);
    StoreLe16(&disk[kUsaCountOffset], c.count);
    const Buffer before = disk;
    EXPECT_FALSE(UsaFits(disk));
    EXPECT_FALSE(ApplyFixup(disk));
    EXPECT_FALSE(UndoFixup(disk));
    EXPECT_FALSE(UndoFixupWhereApplied(disk));
    EXPECT_EQ(disk, before);
  }
  Buffer small(100);
  EXPECT_FALSE(ApplyFixup(small));
  // A 4,096-byte record has nine entries, one per 512-byte block plus the sequence number.
  Buffer big(4096);
  StoreLe16(&big[kUsaOffsetOffset], 48);
  StoreLe16(&big[kUsaCountOffset], 9);
  EXPECT_TRUE(UsaFits(big));
}

// --- Attribute walk -------------------------------------------------------------

Buffer ThreeAttributes() {
  return RecordBuilder(30)
      .Resident(kAttrStandardInformation, Buffer(48))
      .Resident(kAttrFileName, Buffer(70), u"")
      .NonResident(kAttrData, EncodeRuns({{16, 100}}), 0, 15, 65536, 60000, u"ads")
      .Fixed();
}

TEST(NtfsAttributeWalk, VisitsEveryAttributeInOrderUpToTheEndMarker) {
  const Buffer record = ThreeAttributes();
  AttributeWalker walk(record);
  std::vector<uint32_t> types;
  for (Attribute a; walk.Next(a);) {
    types.push_back(a.type);
    EXPECT_EQ(a.bytes.size(), a.length);
    EXPECT_EQ(a.bytes.data(), record.data() + a.offset);
    if (a.type == kAttrData) {
      EXPECT_TRUE(a.nonResident);
      EXPECT_EQ(a.nameLength, 3);
    }
  }
  EXPECT_EQ(types, (std::vector<uint32_t>{kAttrStandardInformation, kAttrFileName, kAttrData}));
  EXPECT_EQ(walk.End(), WalkEnd::kEndMarker);
  EXPECT_EQ(RecordNumberField(record), 30u);
  EXPECT_TRUE(RecordInUse(record));
}

size_t CountAttributes(const Buffer& record, WalkEnd* end = nullptr) {
  AttributeWalker walk(record);
  size_t n = 0;
  for (Attribute a; walk.Next(a);) ++n;
  if (end) *end = walk.End();
  return n;
}

TEST(NtfsAttributeWalk, StopsAtBytesInUseZeroLengthAndTheRecordEnd) {
  const Buffer good = ThreeAttributes();
  const size_t second = 56 + LoadLe32(&good[56 + 4]);
  WalkEnd end{};

  Buffer shortInUse = good;  // bytes in use ends inside the second attribute
  StoreLe32(&shortInUse[kBytesInUseOffset], static_cast<uint32_t>(second + 8));
  EXPECT_EQ(CountAttributes(shortInUse, &end), 1u);
  EXPECT_EQ(end, WalkEnd::kBadAttribute);

  Buffer zero = good;
  StoreLe32(&zero[second + 4], 0);
  EXPECT_EQ(CountAttributes(zero, &end), 1u);
  EXPECT_EQ(end, WalkEnd::kZeroLength);

  Buffer past = good;
  StoreLe32(&past[second + 4], 0x10000);
  EXPECT_EQ(CountAttributes(past, &end), 1u);
  EXPECT_EQ(end, WalkEnd::kBadAttribute);

  Buffer noMarker = good;  // the marker gone and bytes in use at the record's end
  StoreLe32(&noMarker[kBytesInUseOffset], 0xFFFFFFFF);
  const size_t markerAt = LoadLe32(&good[kBytesInUseOffset]) - 8;
  StoreLe32(&noMarker[markerAt], 0);
  EXPECT_EQ(CountAttributes(noMarker, &end), 3u);
  EXPECT_NE(end, WalkEnd::kEndMarker);

  Buffer badFirst = good;
  StoreLe16(&badFirst[kFirstAttributeOffset], 2000);
  EXPECT_EQ(CountAttributes(badFirst, &end), 0u);
  EXPECT_EQ(end, WalkEnd::kBadHeader);

  Buffer badName = good;  // the name of the third attribute points past it
  const size_t third = second + LoadLe32(&good[second + 4]);
  StoreLe16(&badName[third + kAttrNameOffsetOffset], 0xFFF0);
  EXPECT_EQ(CountAttributes(badName, &end), 2u);
  EXPECT_EQ(end, WalkEnd::kBadAttribute);

  // Marked non-resident but only 32 bytes long: too short for the header.
  Buffer shortNonResident = RecordBuilder(9).Resident(kAttrData, Buffer(8)).Fixed();
  shortNonResident[56 + kAttrNonResidentOffset] = std::byte{1};
  EXPECT_EQ(CountAttributes(shortNonResident, &end), 0u);
  EXPECT_EQ(end, WalkEnd::kBadAttribute);
}

// Every single-field mutation of a valid record, with values chosen to hit the
// edges: the walk and the run decoding stay inside the record.
TEST(NtfsAttributeWalk, HostileRecordsMutatedOneFieldAtATimeStayInBounds) {
  const Buffer good = ThreeAttributes();
  struct Field {
    size_t offset;
    size_t width;
  };
  std::vector<Field> fields = {{kUsaOffsetOffset, 2},
                               {kUsaCountOffset, 2},
                               {kFirstAttributeOffset, 2},
                               {kBytesInUseOffset, 4},
                               {kRecordNumberOffset, 4}};
  for (size_t at = 56; at < LoadLe32(&good[kBytesInUseOffset]);) {
    for (size_t f : {kAttrTypeOffset, kAttrLengthOffset}) fields.push_back({at + f, 4});
    for (size_t f : {kAttrNonResidentOffset, kAttrNameLengthOffset}) fields.push_back({at + f, 1});
    fields.push_back({at + kAttrNameOffsetOffset, 2});
    fields.push_back({at + kValueOffsetOffset, 2});
    fields.push_back({at + kValueLengthOffset, 4});
    fields.push_back({at + kRunListOffsetOffset, 2});
    fields.push_back({at + kFirstVcnOffset, 8});
    const uint32_t length = LoadLe32(&good[at + 4]);
    if (length == kAttrEnd || length == 0) break;
    at += length;
  }
  const uint64_t values[] = {0,    1,    7,      8,          23,         24,          63,
                             64,   0x7F, 0x80,   0xFF,       511,        512,         1016,
                             1023, 1024, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, ~uint64_t{0}};
  for (const Field& field : fields) {
    for (uint64_t value : values) {
      Buffer record = good;
      for (size_t i = 0; i < field.width; ++i)
        record[field.offset + i] = static_cast<std::byte>(value >> (8 * i));
      AttributeWalker walk(record);
      for (Attribute a; walk.Next(a);) {
        ASSERT_LE(a.offset + a.length, record.size());
        std::vector<DataRun> runs;
        // Either answer on hostile fields, never a crash.
        if (a.nonResident) static_cast<void>(DecodeAttributeRuns(a.bytes, runs));
        Bytes body;
        if (!a.nonResident && ResidentValue(a.bytes, body)) {
          ASSERT_GE(body.data(), a.bytes.data());
          ASSERT_LE(body.data() + body.size(), a.bytes.data() + a.bytes.size());
        }
      }
      MftData data;
      static_cast<void>(FindMftData(record, data));  // either answer, never a crash
      static_cast<void>(ApplyFixup(record));  // either answer, never a crash
    }
  }
}

// --- Run decoding --------------------------------------------------------------

TEST(NtfsRunList, DecodesLengthAndSignedOffset) {
  RunHeader run;
  ASSERT_EQ(DecodeRunHeader(ToBuffer({0x21, 0x18, 0x34, 0x56}), 0, run), RunStatus::kRun);
  EXPECT_EQ(run.length, 24u);
  EXPECT_EQ(run.offset, 0x5634);
  EXPECT_FALSE(run.sparse);
  EXPECT_EQ(run.size, 4u);

  ASSERT_EQ(DecodeRunHeader(ToBuffer({0x01, 0x10}), 0, run), RunStatus::kRun);
  EXPECT_EQ(run.length, 16u);
  EXPECT_EQ(run.offset, 0);
  EXPECT_TRUE(run.sparse);

  ASSERT_EQ(DecodeRunHeader(ToBuffer({0x11, 0x04, 0xFC}), 0, run), RunStatus::kRun);
  EXPECT_EQ(run.offset, -4);
  ASSERT_EQ(DecodeRunHeader(ToBuffer({0x21, 0x04, 0x00, 0x80}), 0, run), RunStatus::kRun);
  EXPECT_EQ(run.offset, -0x8000);
  ASSERT_EQ(DecodeRunHeader(ToBuffer({0x88, 1, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                      0xFF, 0xFF, 0x7F}),
                            0, run),
            RunStatus::kRun);
  EXPECT_EQ(run.offset, INT64_MAX);

  EXPECT_EQ(DecodeRunHeader(ToBuffer({0x00}), 0, run), RunStatus::kEnd);
  EXPECT_EQ(DecodeRunHeader(Buffer{}, 0, run), RunStatus::kEnd);
  EXPECT_EQ(DecodeRunHeader(ToBuffer({0x10, 0x05}), 0, run), RunStatus::kBadHeader);
  EXPECT_EQ(DecodeRunHeader(ToBuffer({0x09}), 0, run), RunStatus::kBadHeader);
  EXPECT_EQ(DecodeRunHeader(ToBuffer({0x91}), 0, run), RunStatus::kBadHeader);
  EXPECT_EQ(DecodeRunHeader(ToBuffer({0x21, 0x18, 0x34}), 0, run), RunStatus::kTruncated);
}

TEST(NtfsRunList, StartingClustersAreTheRunningSumAndSparseRunsNameNone) {
  const Buffer list = EncodeRuns({{24, 0x5634}, {16, -1}, {8, 0x100}, {4, 0x9000}});
  std::vector<DataRun> runs;
  ASSERT_EQ(DecodeRuns(list, 10, runs), RunListError::kNone);
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[0].vcn, 10u);
  EXPECT_EQ(runs[0].lcn, 0x5634u);
  EXPECT_TRUE(runs[1].sparse);
  EXPECT_EQ(runs[1].vcn, 34u);
  EXPECT_EQ(runs[2].lcn, 0x100u);  // a backwards offset, relative to the last real run
  EXPECT_EQ(runs[3].lcn, 0x9000u);
  EXPECT_EQ(runs[3].vcn, 58u);
  EXPECT_EQ(AllocatedClusters(runs), 36u);

  // An offset field of 0 with offset bytes is a run at the previous cluster, not a hole.
  runs.clear();
  ASSERT_EQ(DecodeRuns(ToBuffer({0x11, 0x02, 0x20, 0x11, 0x02, 0x00, 0x00}), 0, runs),
            RunListError::kNone);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_FALSE(runs[1].sparse);
  EXPECT_EQ(runs[1].lcn, 0x20u);
}

TEST(NtfsRunList, RefusesHostileLists) {
  struct Case {
    const char* what;
    Buffer list;
    RunListError expected;
  };
  const Case cases[] = {
      {"negative starting cluster", ToBuffer({0x11, 0x04, 0xFC, 0x00}),
       RunListError::kLcnOutOfRange},
      {"cluster sum overflows",
       ToBuffer(
           {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00}),
       RunListError::kLcnOutOfRange},
      {"run end past the largest cluster",
       ToBuffer({0x82, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x00}),
       RunListError::kLcnOutOfRange},
      {"zero-length run", ToBuffer({0x11, 0x00, 0x10, 0x00}), RunListError::kZeroLength},
      {"negative length", ToBuffer({0x08, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}),
       RunListError::kZeroLength},
      {"nine length bytes", ToBuffer({0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}),
       RunListError::kBadHeader},
      {"no length bytes", ToBuffer({0x10, 0x05, 0x00}), RunListError::kBadHeader},
      {"run cut off", ToBuffer({0x21, 0x18}), RunListError::kRunOutside},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<DataRun> runs;
    EXPECT_EQ(DecodeRuns(c.list, 0, runs), c.expected);
  }
  std::vector<DataRun> runs;
  EXPECT_EQ(
      DecodeRuns(ToBuffer({0x08, 0, 0, 0, 0, 0, 0, 0, 0x70, 0x00}), 0x7FFFFFFFFFFFFFF0ull, runs),
      RunListError::kVcnOverflow);
}

TEST(NtfsRunList, RunListMustStayInsideItsAttribute) {
  const Buffer record = RecordBuilder(40)
                            .NonResident(kAttrData, EncodeRuns({{24, 0x5634}}), 0, 23, 98304, 98304)
                            .Fixed();
  const size_t length = LoadLe32(&record[56 + 4]);
  const Bytes attribute(record.data() + 56, length);
  std::vector<DataRun> runs;
  ASSERT_EQ(DecodeAttributeRuns(attribute, runs), RunListError::kNone);
  EXPECT_EQ(runs.at(0).length, 24u);

  // The record continues after the attribute, but the run may not.
  Buffer crossing = record;
  crossing[56 + length - 2] = std::byte{0x21};  // needs three more bytes, one is left
  StoreLe16(&crossing[56 + kRunListOffsetOffset], static_cast<uint16_t>(length - 2));
  runs.clear();
  EXPECT_EQ(DecodeAttributeRuns(Bytes(crossing.data() + 56, length), runs),
            RunListError::kRunOutside);

  for (uint16_t offset :
       {uint16_t{0}, uint16_t{63}, static_cast<uint16_t>(length), uint16_t{0xFFFF}}) {
    Buffer bad = record;
    StoreLe16(&bad[56 + kRunListOffsetOffset], offset);
    runs.clear();
    EXPECT_EQ(DecodeAttributeRuns(Bytes(bad.data() + 56, length), runs),
              RunListError::kRunListOutside)
        << offset;
  }
  const Buffer resident = RecordBuilder(41).Resident(kAttrData, Buffer(8)).Fixed();
  EXPECT_EQ(DecodeAttributeRuns(Bytes(resident.data() + 56, 32), runs), RunListError::kResident);
}

TEST(NtfsRunList, MapsAStreamRangeAcrossRunsSkippingHoles) {
  std::vector<DataRun> runs;
  ASSERT_EQ(DecodeRuns(EncodeRuns({{2, 100}, {1, -1}, {3, 50}}), 0, runs), RunListError::kNone);
  std::vector<VolumeExtent> pieces;
  MapStreamRange(runs, 4096, 4096, 4 * 4096, pieces);
  ASSERT_EQ(pieces.size(), 2u);
  EXPECT_EQ(pieces[0].streamOffset, 4096u);
  EXPECT_EQ(pieces[0].volumeOffset, 101u * 4096);
  EXPECT_EQ(pieces[0].length, 4096u);
  EXPECT_EQ(pieces[1].streamOffset, 3u * 4096);  // the hole at cluster 2 is left out
  EXPECT_EQ(pieces[1].volumeOffset, 50u * 4096);
  EXPECT_EQ(pieces[1].length, 2u * 4096);
}

TEST(NtfsAttributeList, ParsesEntriesAndRefusesBrokenOnes) {
  Buffer list(64);
  for (size_t e = 0; e < 2; ++e) {
    std::byte* p = &list[e * 32];
    StoreLe32(p + kListTypeOffset, e == 0 ? kAttrStandardInformation : kAttrData);
    StoreLe16(p + kListLengthOffset, 32);
    StoreLe64(p + kListLowestVcnOffset, e * 100);
    StoreLe64(p + kListReferenceOffset, (uint64_t{5} << 48) | (17 + e));
  }
  std::vector<AttributeListEntry> entries;
  ASSERT_TRUE(ParseAttributeList(list, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1].type, kAttrData);
  EXPECT_EQ(entries[1].lowestVcn, 100u);
  EXPECT_EQ(entries[1].recordNumber, 18u);  // the sequence number is masked off

  for (uint16_t length : {uint16_t{0}, uint16_t{25}, uint16_t{33}, uint16_t{0xFFFF}}) {
    Buffer bad = list;
    StoreLe16(&bad[32 + kListLengthOffset], length);
    entries.clear();
    EXPECT_FALSE(ParseAttributeList(bad, entries)) << length;
    EXPECT_EQ(entries.size(), 1u);
  }
}

// --- Boot sector: record size and volume checks ---------------------------------

struct BootDisk {
  CDisk disk;
  explicit BootDisk(const Buffer& boot, uint64_t size = 4 * 1024 * 1024) {
    Buffer image(size);
    std::memcpy(image.data(), boot.data(), boot.size());
    disk.Attach(std::make_unique<platform::MemoryBlockDevice>(std::move(image)), true);
  }
};

// 1,023 clusters of 4 KiB, as in the 4 MiB image BootDisk makes.
Buffer GoodBoot() { return testing::TestVolume::BootSector(8, 1023 * 8, 4, 1022); }

TEST(NtfsBootSector, FileRecordSizeFromByte64) {
  struct Case {
    uint32_t raw;
    uint8_t sectorsPerCluster;
    uint32_t expected;
  };
  const Case cases[] = {{0xF6, 8, 1024}, {2, 8, 8192},       {1, 2, 1024},
                        {0xF7, 8, 512},  {0xF4, 1, 4096},    {0x80, 8, 0},
                        {0x100, 8, 0},   {0xFFFFFFF6, 8, 0}, {0x7F, 128, 0x7F * 128 * 512}};
  for (const Case& c : cases) {
    Buffer boot = GoodBoot();
    StoreLe32(&boot[64], c.raw);
    boot[13] = static_cast<std::byte>(c.sectorsPerCluster);
    BootDisk d(boot);
    EXPECT_EQ(d.disk.Mft().ComputeFileRecordSize(), c.expected) << std::hex << c.raw;
  }
}

TEST(NtfsBootSector, RefusesVolumesTheReaderCannotHandleOneFieldAtATime) {
  {
    BootDisk good(GoodBoot());
    std::string why;
    EXPECT_EQ(good.disk.Mft().CheckNtfsVolume(&why), DiskResult::kOk) << why;
  }
  struct Case {
    const char* what;
    size_t offset;
    size_t width;
    uint64_t value;
    const char* message;
  };
  const Case cases[] = {
      {"OEM id", 3, 4, 0x54414646, "NTFS"},
      {"4,096-byte sectors", 11, 2, 4096, "512-byte sectors"},
      {"zero sectors per cluster", 13, 1, 0, "sectors per cluster"},
      {"sectors per cluster not a power of two", 13, 1, 6, "power of two"},
      {"4,096-byte records", 64, 4, 0xF4, "1,024-byte file records"},
      {"8,192-byte records", 64, 4, 2, "1,024-byte file records"},
      {"$MFT past the volume", 48, 8, 8191, "$MFT cluster"},
      {"$MFT far past the volume", 48, 8, ~uint64_t{0}, "$MFT cluster"},
      {"$MFTMirr past the volume", 56, 8, 9000, "$MFTMirr"},
      {"empty volume", 40, 8, 0, "$MFT cluster"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Buffer boot = GoodBoot();
    for (size_t i = 0; i < c.width; ++i)
      boot[c.offset + i] = static_cast<std::byte>(c.value >> (8 * i));
    BootDisk d(boot);
    std::string why;
    EXPECT_EQ(d.disk.Mft().CheckNtfsVolume(&why), DiskResult::kUnsupportedVolume);
    EXPECT_NE(why.find(c.message), std::string::npos) << why;
    EXPECT_FALSE(d.disk.Mft().LoadMftRecord());
    uint64_t total = 1;
    EXPECT_EQ(d.disk.Mft().BuildEntryList(total, false, 0), 0u);
    EXPECT_EQ(total, 0u);
  }
  // A device shorter than the boot sector says: the $MFT beyond its end is refused too.
  BootDisk truncated(GoodBoot(), 16 * 1024);
  EXPECT_EQ(truncated.disk.Mft().CheckNtfsVolume(), DiskResult::kUnsupportedVolume);
  CDisk closed;
  EXPECT_EQ(closed.Mft().CheckNtfsVolume(), DiskResult::kNoDevice);
}

}  // namespace
}  // namespace stow::engine
