// The MFT checks shared by the source and the destination, on records built
// byte by byte: a record is known by its position (the older header layout
// has no number field), a record in use is whole or named as damaged, run
// lists decode, cover their VCNs and claim each cluster once. Then the MFT
// reader and the source check over in-memory volumes that hold such records.
#include <gtest/gtest.h>

#include "engine/check/SourceCheck.h"
#include "engine/check/VolumeCheck.h"
#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "tests/engine/NtfsTestBuilder.h"
#include "tests/testlib/TaskErrorPrint.h"

namespace stow::engine {
namespace {

using testing::Buffer;
using testing::EncodeRuns;
using testing::RecordBuilder;
using testing::TestVolume;

constexpr uint32_t kAttrBitmap = 0xB0;

// The record in the older header layout: the update sequence array moved from
// 0x30 to 0x2A, where it covers the number field.
Buffer OldLayout(Buffer onDisk) {
  for (size_t i = 0; i < 6; ++i) {
    onDisk[ntfs::kOldLayoutUsaOffset + i] = onDisk[RecordBuilder::kUsaOffset + i];
    onDisk[RecordBuilder::kUsaOffset + i] = std::byte{0};
  }
  StoreLe16(&onDisk[ntfs::kUsaOffsetOffset], static_cast<uint16_t>(ntfs::kOldLayoutUsaOffset));
  return onDisk;
}

Buffer FileWithRuns(uint32_t number, const std::vector<testing::PlannedRun>& runs,
                    uint64_t clusters) {
  return RecordBuilder(number)
      .Resident(ntfs::kAttrStandardInformation, Buffer(48))
      .NonResident(ntfs::kAttrData, EncodeRuns(runs), 0, clusters - 1, clusters * 4096,
                   clusters * 4096)
      .OnDisk();
}

TEST(VolumeCheck, ARecordIsKnownByItsPositionWhereItsHeaderHasNoNumber) {
  VolumeCheck check(1024);
  Buffer fixed;
  const Buffer old = OldLayout(FileWithRuns(0, {{4, 100}}, 4));
  EXPECT_FALSE(ntfs::HasRecordNumberField(old));
  EXPECT_TRUE(ntfs::RecordNumberAgrees(old, 37));
  ASSERT_EQ(check.ExamineRecord(37, old, true, fixed), RecordUse::kInUse);
  EXPECT_TRUE(check.CheckRecord(37, fixed)) << check.Why();

  // The fix-up of the older layout is the same fix-up: the block ends come back.
  const Buffer expected =
      RecordBuilder(0)
          .Resident(ntfs::kAttrStandardInformation, Buffer(48))
          .NonResident(ntfs::kAttrData, EncodeRuns({{4, 100}}), 0, 3, 4 * 4096, 4 * 4096)
          .Fixed();
  EXPECT_EQ(fixed[510], expected[510]);
  EXPECT_EQ(fixed[1022], expected[1022]);

  // Where the header has the field, it must give the position.
  EXPECT_EQ(check.ExamineRecord(37, FileWithRuns(36, {{4, 200}}, 4), true, fixed),
            RecordUse::kDamaged);
  EXPECT_NE(check.Why().find("MFT record 37 carries the number 36"), std::string::npos)
      << check.Why();
}

TEST(VolumeCheck, ARecordInUseIsWholeOrDamaged) {
  VolumeCheck check(1024);
  Buffer fixed;
  Buffer torn = FileWithRuns(5, {{4, 100}}, 4);
  torn[1022] = ~torn[1022];
  EXPECT_EQ(check.ExamineRecord(5, torn, true, fixed), RecordUse::kDamaged);
  EXPECT_NE(check.Why().find("MFT record 5 was not written whole"), std::string::npos);

  // Without its signature a record counts as in use when both its flag and the
  // $MFT's bitmap say so.
  Buffer bad = FileWithRuns(6, {{4, 100}}, 4);
  std::memcpy(bad.data(), "BAAD", 4);
  EXPECT_EQ(check.ExamineRecord(6, bad, true, fixed), RecordUse::kDamaged);
  EXPECT_NE(check.Why().find("MFT record 6 is in use but has no \"FILE\" signature"),
            std::string::npos);
  EXPECT_EQ(check.ExamineRecord(6, bad, false, fixed), RecordUse::kUnused);

  // A deleted record keeps whatever it held: nothing of it is checked.
  Buffer deleted = RecordBuilder(7, 0).Resident(ntfs::kAttrData, Buffer(8)).OnDisk();
  deleted[510] = ~deleted[510];
  EXPECT_EQ(check.ExamineRecord(7, deleted, true, fixed), RecordUse::kUnused);
  EXPECT_EQ(check.ExamineRecord(8, Buffer(1024), true, fixed), RecordUse::kUnused);
}

TEST(VolumeCheck, RunListsDecodeCoverTheirVcnsLieInsideAndNameEachClusterOnce) {
  Buffer fixed;
  auto checkOne = [&fixed](VolumeCheck& check, uint64_t n, const Buffer& onDisk) {
    EXPECT_EQ(check.ExamineRecord(n, onDisk, true, fixed), RecordUse::kInUse);
    return check.CheckRecord(n, fixed);
  };
  {
    VolumeCheck check(1024);
    Buffer damaged =
        RecordBuilder(40)
            .NonResident(ntfs::kAttrData, testing::ToBuffer({0x90, 0, 0}), 0, 3, 16384, 16384)
            .OnDisk();
    EXPECT_FALSE(checkOne(check, 40, damaged));
    EXPECT_NE(check.Why().find("MFT record 40, attribute 0 (type 0x80): its run list is damaged"),
              std::string::npos)
        << check.Why();
  }
  {
    VolumeCheck check(1024);
    // The header says 8 clusters, the runs hold 4.
    EXPECT_FALSE(checkOne(check, 41, FileWithRuns(41, {{4, 100}}, 8)));
    EXPECT_NE(check.Why().find("its runs cover 4 clusters"), std::string::npos) << check.Why();
  }
  {
    VolumeCheck check(1024);
    EXPECT_FALSE(checkOne(check, 42, FileWithRuns(42, {{4, 1022}}, 4)));
    EXPECT_NE(check.Why().find("MFT record 42 names clusters 1022..1025 past the volume's 1024"),
              std::string::npos)
        << check.Why();
  }
  {
    VolumeCheck check(1024);
    EXPECT_TRUE(checkOne(check, 43, FileWithRuns(43, {{4, 100}, {2, -1}, {4, 300}}, 10)));
    EXPECT_EQ(check.ClustersInUse(), 8u);
    EXPECT_FALSE(checkOne(check, 44, FileWithRuns(44, {{4, 302}}, 4)));
    EXPECT_NE(check.Why().find("cluster 302 is named twice (again by MFT record 44)"),
              std::string::npos)
        << check.Why();
  }
  {
    VolumeCheck check(1024);
    Buffer pastEnd = RecordBuilder(45).Resident(ntfs::kAttrData, Buffer(8)).Fixed();
    StoreLe32(&pastEnd[RecordBuilder::kFirstAttribute + ntfs::kAttrLengthOffset], 0x1000);
    EXPECT_FALSE(check.CheckRecord(45, pastEnd));
    EXPECT_NE(check.Why().find("MFT record 45: an attribute runs past the record"),
              std::string::npos)
        << check.Why();
  }
}

// A volume of 1,024 clusters of 4 KiB whose $MFT holds 64 records at cluster 16.
TestVolume SmallVolume() {
  TestVolume v;
  v.clusters = 1024;
  v.mftRuns = {{16, 16}};
  v.records.resize(64);
  v.records[0] = v.MftRecord().OnDisk();
  return v;
}

std::unique_ptr<CDisk> Open(const TestVolume& v) {
  auto disk = std::make_unique<CDisk>();
  disk->Attach(v.Build(), true);
  return disk;
}

TEST(SourceCheck, OldLayoutRecordsAreReadLikeAnyOther) {
  TestVolume v = SmallVolume();
  v.records[20] = OldLayout(FileWithRuns(0, {{4, 200}}, 4));
  v.records[21] = FileWithRuns(21, {{2, 300}}, 2);
  std::unique_ptr<CDisk> opened = Open(v);
  CDisk& disk = *opened;
  ASSERT_NE(disk.Mft().ReadFileRecord(20, false, true, false), nullptr);
  uint64_t sectors = 0;
  ASSERT_GT(disk.Mft().BuildEntryList(sectors, true, 0), 0u);
  std::vector<uint64_t> numbers;
  for (const FileEntry& e : disk.Mft().Entries()) {
    if (!e.attributes.empty()) numbers.push_back(e.recordNumber);
  }
  EXPECT_EQ(numbers, (std::vector<uint64_t>{0, 20, 21}));
  EXPECT_EQ(sectors, (16u + 4u + 2u) * 8u);
  std::string reason;
  EXPECT_EQ(CheckSourceRecords(disk, reason), TaskError::kNone) << reason;
}

TEST(SourceCheck, RefusesADamagedRecordAndUsesTheMftBitmap) {
  TestVolume v = SmallVolume();
  Buffer bad = FileWithRuns(30, {{4, 200}}, 4);
  std::memcpy(bad.data(), "BAAD", 4);
  v.records[30] = bad;
  // The $MFT's bitmap marks records 0..15 only: record 30 is free.
  v.records[0] = v.MftRecord()
                     .Resident(kAttrBitmap, testing::ToBuffer({0xFF, 0xFF, 0, 0, 0, 0, 0, 0}))
                     .OnDisk();
  {
    std::string reason;
    EXPECT_EQ(CheckSourceRecords(*Open(v), reason), TaskError::kNone) << reason;
  }
  // Marked in use, it is refused, and the refusal names it and the disk check.
  v.records[0] = v.MftRecord()
                     .Resident(kAttrBitmap, testing::ToBuffer({0xFF, 0xFF, 0, 0x40, 0, 0, 0, 0}))
                     .OnDisk();
  {
    std::string reason;
    EXPECT_EQ(CheckSourceRecords(*Open(v), reason), TaskError::kSourceInconsistent);
    EXPECT_NE(reason.find("MFT record 30"), std::string::npos) << reason;
    EXPECT_NE(reason.find("chkdsk"), std::string::npos) << reason;
  }
  // Two files naming one cluster.
  v.records[30] = FileWithRuns(30, {{4, 200}}, 4);
  v.records[31] = FileWithRuns(31, {{1, 203}}, 1);
  {
    std::string reason;
    EXPECT_EQ(CheckSourceRecords(*Open(v), reason), TaskError::kSourceInconsistent);
    EXPECT_NE(reason.find("cluster 203 is named twice (again by MFT record 31)"), std::string::npos)
        << reason;
  }
}

}  // namespace
}  // namespace stow::engine
