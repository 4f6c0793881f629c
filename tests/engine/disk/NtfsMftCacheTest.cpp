// The MFT reader over in-memory volumes: window loading across $MFT runs, the
// record cache and its write-back, the entry list and its totals.
#include <gtest/gtest.h>

#include <cstring>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "tests/engine/NtfsTestBuilder.h"

namespace stow::engine {
namespace {

using namespace ntfs;
using testing::Buffer;
using testing::EncodeRuns;
using testing::Le64;
using testing::RecordBuilder;
using testing::TaggedRecord;
using testing::TestVolume;

// The tag TaggedRecord stores, read back from a fetched record.
uint64_t TagOf(const std::byte* record) {
  AttributeWalker walk(Bytes(record, kFileRecordSize));
  for (Attribute a; walk.Next(a);) {
    Bytes value;
    if (a.type == kAttrData && ResidentValue(a.bytes, value) && value.size() == 8) {
      return LoadLe64(value.data());
    }
  }
  return 0;
}

uint64_t Tag(uint32_t n) { return 0x7A6700000000ull | n; }

struct Volume {
  CDisk disk;
  platform::MemoryBlockDevice* device = nullptr;

  explicit Volume(const TestVolume& v) {
    auto dev = v.Build();
    device = dev.get();
    disk.Attach(std::move(dev), true);
  }
};

// Fills every record the runs hold with a tagged record (record 0 describes the runs).
TestVolume TaggedVolume(TestVolume v) {
  const uint64_t held = v.RunClusters() * v.ClusterSize() / kFileRecordSize;
  v.records.resize(held);
  v.records[0] = v.MftRecord().OnDisk();
  for (uint32_t n = 1; n < held; ++n) v.records[n] = TaggedRecord(n);
  return v;
}

TEST(NtfsMftReader, WindowSpansThreeMftRunsWithEachPartInPlace) {
  TestVolume layout;
  layout.mftRuns = {{8, 100}, {5, 300}, {7, 200}};  // 4 records per cluster: 80 records
  Volume v(TaggedVolume(layout));
  ASSERT_TRUE(v.disk.Mft().LoadMftRecord());
  EXPECT_EQ(v.disk.Mft().MftRecordCount(), 80u);
  for (uint32_t n = 1; n < 80; ++n) {
    const std::byte* record = v.disk.Mft().ReadFileRecord(n, false, true, false);
    ASSERT_NE(record, nullptr) << n;
    EXPECT_EQ(TagOf(record), Tag(n)) << n;
  }
  // Past the runs the window holds nothing.
  EXPECT_EQ(v.disk.Mft().ReadFileRecord(80, false, true, false), nullptr);
}

TEST(NtfsMftReader, RecordsSplitAcrossRunsOfHalfRecordClusters) {
  TestVolume layout;
  layout.sectorsPerCluster = 1;  // 512-byte clusters: a record spans two clusters
  layout.clusters = 4096;
  layout.mftRuns = {{3, 64}, {5, 900}, {9, 2000}, {3, 128}};  // odd lengths split records
  Volume v(TaggedVolume(layout));
  ASSERT_TRUE(v.disk.Mft().LoadMftRecord());
  ASSERT_EQ(v.disk.Mft().MftRecordCount(), 10u);
  for (uint32_t n = 1; n < 10; ++n) {
    const std::byte* record = v.disk.Mft().ReadFileRecord(n, false, true, false);
    ASSERT_NE(record, nullptr) << n;
    EXPECT_EQ(TagOf(record), Tag(n)) << n;
  }
}

TEST(NtfsMftReader, UnusedRecordAt5000IsAnEntryWithoutAttributes) {
  TestVolume layout;
  layout.clusters = 2048;
  layout.mftRuns = {{1300, 100}};  // 5,200 records in three windows
  TestVolume v = TaggedVolume(layout);
  v.records[5000] = Buffer(kFileRecordSize);  // never used: all zero
  Volume volume(v);
  uint64_t total = 0;
  ASSERT_EQ(volume.disk.Mft().BuildEntryList(total, false, 0), 5200u);
  const auto& entries = volume.disk.Mft().Entries();
  ASSERT_EQ(entries.size(), 5200u);
  EXPECT_EQ(entries[5000].recordNumber, 5000u);
  EXPECT_TRUE(entries[5000].attributes.empty());
  for (uint32_t n : {1u, 2047u, 2048u, 4999u, 5001u, 5199u}) {
    EXPECT_EQ(entries[n].recordNumber, n);
    ASSERT_EQ(entries[n].attributes.size(), 1u) << n;
  }
  // Each window is read once: the unused record did not reload its window.
  const int reads = volume.device->ReadCalls();
  EXPECT_EQ(volume.disk.Mft().ReadFileRecord(5000, false, true, false), nullptr);
  EXPECT_NE(volume.disk.Mft().ReadFileRecord(5001, false, true, false), nullptr);
  EXPECT_EQ(volume.device->ReadCalls(), reads);
}

TEST(NtfsMftReader, TotalsSkipBadClusAndFollowTheNonResidentOnlyFlag) {
  TestVolume layout;
  layout.mftRuns = {{8, 16}};  // 32 records, 32 KiB of $MFT: 64 sectors
  TestVolume v = TaggedVolume(layout);
  const Buffer runs = EncodeRuns({{2, 500}});
  v.records[8] = RecordBuilder(8)
                     .Resident(kAttrFileName, Buffer(70))
                     .NonResident(kAttrData, EncodeRuns({{1023, -1}}), 0, 1022, 1023 * 4096,
                                  1023 * 4096, u"$Bad")
                     .OnDisk();
  v.records[9] = RecordBuilder(9)
                     .Resident(kAttrFileName, Buffer(70))
                     .NonResident(kAttrData, runs, 0, 1, 4097, 4097)        // 9 sectors rounded up
                     .NonResident(kAttrData, runs, 0, 1, 1024, 1000, u"s")  // 2 sectors
                     .OnDisk();
  v.records[10] = RecordBuilder(10, 0)  // deleted: not in use, its runs are stale
                      .NonResident(kAttrData, runs, 0, 1, 8192, 8192)
                      .OnDisk();
  Volume volume(v);

  uint64_t total = 0;
  ASSERT_EQ(volume.disk.Mft().BuildEntryList(total, false, 0), 32u);
  EXPECT_EQ(total, 64u + 9 + 2);
  const auto& all = volume.disk.Mft().Entries();
  ASSERT_EQ(all.size(), 32u);
  EXPECT_EQ(all[8].recordNumber, 8u);  // $BadClus is listed ...
  EXPECT_EQ(all[8].attributes.size(), 2u);
  EXPECT_EQ(all[9].attributes.size(), 3u);
  EXPECT_TRUE(all[10].attributes.empty());

  ASSERT_EQ(volume.disk.Mft().BuildEntryList(total, true, 0), 32u);
  EXPECT_EQ(total, 64u + 9 + 2);  // ... but adds nothing either way
  const auto& nonResident = volume.disk.Mft().Entries();
  ASSERT_EQ(nonResident.size(), 3u);  // $MFT, $BadClus and record 9
  EXPECT_EQ(nonResident[1].recordNumber, 8u);
  EXPECT_EQ(nonResident[2].recordNumber, 9u);
  EXPECT_EQ(nonResident[2].attributes.size(), 2u);
  for (const auto& copy : nonResident[2].attributes) EXPECT_EQ(LoadU8(&copy[8]), 1);

  ASSERT_EQ(volume.disk.Mft().BuildEntryList(total, false, 9), 9u);  // a limit
  EXPECT_EQ(volume.disk.Mft().Entries().size(), 9u);
  EXPECT_EQ(total, 64u);
}

TEST(NtfsMftReader, AttributeCopiesAreExactAndMalformedRecordsStopEarly) {
  TestVolume layout;
  layout.mftRuns = {{4, 16}};
  TestVolume v = TaggedVolume(layout);
  const Buffer fixed = RecordBuilder(5)
                           .Resident(kAttrStandardInformation, Buffer(48, std::byte{0x11}))
                           .Resident(kAttrFileName, Buffer(70, std::byte{0x22}))
                           .Fixed();
  v.records[5] = RecordBuilder(5)
                     .Resident(kAttrStandardInformation, Buffer(48, std::byte{0x11}))
                     .Resident(kAttrFileName, Buffer(70, std::byte{0x22}))
                     .OnDisk();
  Buffer broken = TaggedRecord(6);  // an attribute length of 0 in on-disk form
  StoreLe32(&broken[56 + 4], 0);
  v.records[6] = broken;
  Buffer badUsa = TaggedRecord(7);
  StoreLe16(&badUsa[kUsaCountOffset], 9);
  v.records[7] = badUsa;
  Volume volume(v);
  uint64_t total = 0;
  ASSERT_NE(volume.disk.Mft().BuildEntryList(total, false, 0), 0u);
  const auto& entries = volume.disk.Mft().Entries();
  ASSERT_EQ(entries[5].attributes.size(), 2u);
  EXPECT_EQ(entries[5].attributes[0], Buffer(fixed.begin() + 56, fixed.begin() + 56 + 72));
  EXPECT_EQ(entries[5].bytesInUse, LoadLe32(&fixed[kBytesInUseOffset]));
  EXPECT_TRUE(entries[6].attributes.empty());
  EXPECT_EQ(entries[7].recordNumber, 7u);  // no fix-up possible: not fetched
  EXPECT_TRUE(entries[7].attributes.empty());
}

TEST(NtfsMftReader, FlushWritesRecordsBackInOnDiskForm) {
  TestVolume layout;
  layout.mftRuns = {{4, 16}, {4, 40}};
  TestVolume v = TaggedVolume(layout);
  RecordBuilder withEnds(3);
  StoreLe16(&withEnds.Raw()[510], 0x4242);  // real data at a block end
  withEnds.Resident(kAttrData, Le64(Tag(3)));
  v.records[3] = withEnds.OnDisk();
  Volume volume(v);
  const Buffer before = volume.device->Data();

  std::byte* record = volume.disk.Mft().ReadFileRecord(3, false, true, false);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(LoadLe16(record + 510), 0x4242);  // fixed up in the cache
  ASSERT_NE(volume.disk.Mft().ReadFileRecord(20, false, true, false), nullptr);
  ASSERT_TRUE(volume.disk.Mft().FlushRecordCache());
  EXPECT_EQ(volume.device->Data(), before);  // nothing changed, nothing damaged

  // A change made through the cache reaches the disk, in on-disk form.
  record[0x100] = std::byte{0x5A};
  ASSERT_TRUE(volume.disk.Mft().FlushRecordCache());
  const uint64_t at = v.MftByteToVolume(3 * kFileRecordSize);
  EXPECT_EQ(volume.device->Data()[at + 0x100], std::byte{0x5A});
  EXPECT_EQ(LoadLe16(&volume.device->Data()[at + 510]), 0x0203);
  std::byte* again = volume.disk.Mft().ReadFileRecord(3, true, true, false);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(LoadLe16(again + 510), 0x4242);
  EXPECT_EQ(again[0x100], std::byte{0x5A});

  // A writer that puts a new image of the record into the cache in on-disk form:
  // fetched again it reads fixed up, and it reaches the disk unchanged.
  Buffer image(again, again + kFileRecordSize);
  image[0x101] = std::byte{0x6B};
  ASSERT_TRUE(UndoFixup(image));
  std::memcpy(again, image.data(), image.size());
  const std::byte* fetched = volume.disk.Mft().ReadFileRecord(3, false, true, false);
  ASSERT_EQ(fetched, again);
  EXPECT_EQ(LoadLe16(fetched + 510), 0x4242);
  ASSERT_TRUE(volume.disk.Mft().FlushRecordCache());
  EXPECT_EQ(Buffer(volume.device->Data().begin() + static_cast<std::ptrdiff_t>(at),
                   volume.device->Data().begin() + static_cast<std::ptrdiff_t>(at + 1024)),
            image);
}

// A reader of its own over a plain DiskDevice: bytes written into the $MFT
// through its runs reach the disk and the cached window alike, so that a later
// flush of the window does not put the older bytes back.
TEST(NtfsMftReader, WrittenMftBytesReachTheDiskAndTheCachedWindow) {
  TestVolume layout;
  layout.mftRuns = {{4, 16}, {4, 40}};  // record 15 ends the first run, 16 starts the second
  const TestVolume v = TaggedVolume(layout);
  DiskDevice device;
  auto owned = v.Build();
  platform::MemoryBlockDevice* memory = owned.get();
  device.Attach(std::move(owned), true);
  MftReader mft(device);
  ASSERT_TRUE(mft.LoadMftRecord());
  ASSERT_NE(mft.ReadFileRecord(15, false, true, false), nullptr);  // the window, fixed up

  // Two records across the runs' boundary, written in on-disk form.
  auto rewritten = [](uint32_t n) {
    return RecordBuilder(n).Resident(kAttrData, Le64(0x5EED0000u + n)).OnDisk();
  };
  Buffer both = rewritten(15);
  const Buffer second = rewritten(16);
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_TRUE(mft.WriteMftBytes(15 * kFileRecordSize, both.data(), 2 * kFileRecordSize));
  for (const uint32_t n : {15u, 16u}) {
    const uint64_t at = v.MftByteToVolume(n * kFileRecordSize);
    const Buffer onDisk(memory->Data().begin() + static_cast<std::ptrdiff_t>(at),
                        memory->Data().begin() + static_cast<std::ptrdiff_t>(at + kFileRecordSize));
    EXPECT_EQ(onDisk, rewritten(n)) << n;
  }
  const std::byte* cached = mft.ReadFileRecord(15, false, true, false);
  ASSERT_NE(cached, nullptr);
  EXPECT_EQ(TagOf(cached), 0x5EED0000u + 15);

  ASSERT_TRUE(mft.FlushRecordCache());
  MftReader fresh(device);
  ASSERT_TRUE(fresh.LoadMftRecord());
  const std::byte* reread = fresh.ReadFileRecord(16, false, true, false);
  ASSERT_NE(reread, nullptr);
  EXPECT_EQ(TagOf(reread), 0x5EED0000u + 16);

  // Bytes the runs do not hold are refused, and nothing is written for them.
  const Buffer before = memory->Data();
  EXPECT_FALSE(mft.WriteMftBytes(32 * kFileRecordSize, both.data(), kFileRecordSize));
  EXPECT_EQ(memory->Data(), before);
}

TEST(NtfsMftReader, WindowWithUnusedFirstRecordIsStillFlushed) {
  TestVolume layout;
  layout.clusters = 2048;
  layout.mftRuns = {{1024, 100}};  // 4,096 records: two windows
  TestVolume v = TaggedVolume(layout);
  v.records[2048] = Buffer(kFileRecordSize);
  Volume volume(v);
  std::byte* record = volume.disk.Mft().ReadFileRecord(2049, false, true, false);
  ASSERT_NE(record, nullptr);
  record[0x100] = std::byte{0x77};
  // Moving to another window with the flush flag writes this one back first.
  ASSERT_NE(volume.disk.Mft().ReadFileRecord(5, false, true, true), nullptr);
  EXPECT_EQ(volume.device->Data()[v.MftByteToVolume(2049 * kFileRecordSize) + 0x100],
            std::byte{0x77});
}

TEST(NtfsMftReader, UnreadableWindowPartsAreNeitherReturnedNorWrittenBack) {
  TestVolume layout;
  layout.mftRuns = {{4, 16}, {4, 40}, {4, 60}};  // 48 records in three pieces
  TestVolume v = TaggedVolume(layout);
  Volume volume(v);
  ASSERT_TRUE(volume.disk.Mft().LoadMftRecord());
  volume.device->FailReads(2);  // the first piece fails both attempts
  EXPECT_FALSE(volume.disk.Mft().LoadRecordCache());
  EXPECT_EQ(volume.disk.Mft().ReadFileRecord(5, false, true, false), nullptr);
  ASSERT_NE(volume.disk.Mft().ReadFileRecord(20, false, true, false), nullptr);
  const Buffer before = volume.device->Data();
  EXPECT_TRUE(volume.disk.Mft().FlushRecordCache());
  EXPECT_EQ(volume.device->Data(), before);  // the first piece was not wiped with zeros
}

TEST(NtfsMftReader, FollowsTheAttributeListOfAFragmentedMft) {
  TestVolume layout;
  layout.mftRuns = {{4, 16}, {4, 40}, {4, 60}};
  TestVolume v = TaggedVolume(layout);
  // Record 0 holds the first run only; record 3 continues the $DATA from VCN 4.
  Buffer list(64);
  StoreLe32(&list[0], kAttrData);
  StoreLe16(&list[4], 32);
  StoreLe64(&list[16], 0);
  StoreLe32(&list[32], kAttrData);
  StoreLe16(&list[36], 32);
  StoreLe64(&list[40], 4);
  StoreLe64(&list[48], 3);
  v.records[0] = RecordBuilder(0)
                     .Resident(kAttrAttributeList, list)
                     .NonResident(kAttrData, EncodeRuns({{4, 16}}), 0, 3, 12 * 4096, 48 * 1024)
                     .OnDisk();
  v.records[3] =
      RecordBuilder(3).NonResident(kAttrData, EncodeRuns({{4, 40}, {4, 60}}), 4, 11, 0, 0).OnDisk();
  Volume volume(v);
  ASSERT_TRUE(volume.disk.Mft().LoadMftRecord());
  EXPECT_EQ(volume.disk.Mft().MftRecordCount(), 48u);
  for (uint32_t n : {17u, 40u, 47u}) {
    const std::byte* record = volume.disk.Mft().ReadFileRecord(n, false, true, false);
    ASSERT_NE(record, nullptr) << n;
    EXPECT_EQ(TagOf(record), Tag(n));
  }

  // Without the extension record the volume is refused rather than half read.
  v.records[3] = Buffer(kFileRecordSize);
  Volume missing(v);
  EXPECT_FALSE(missing.disk.Mft().LoadMftRecord());
  uint64_t total = 0;
  EXPECT_EQ(missing.disk.Mft().BuildEntryList(total, true, 0), 0u);
}

TEST(NtfsMftReader, HostileMftRecordsAreRefusedOrBounded) {
  TestVolume layout;
  layout.mftRuns = {{8, 16}};
  for (const uint64_t dataSize : {uint64_t{1} << 50, uint64_t{33} * 1024}) {
    // A data size beyond the runs, without an attribute list to continue them: the
    // walk is refused instead of running over records that do not exist.
    TestVolume v = TaggedVolume(layout);
    v.records[0] = RecordBuilder(0)
                       .NonResident(kAttrData, EncodeRuns({{8, 16}}), 0, 7, 8 * 4096, dataSize)
                       .OnDisk();
    Volume volume(v);
    uint64_t total = 0;
    EXPECT_EQ(volume.disk.Mft().BuildEntryList(total, false, 0), 0u) << dataSize;
  }
  {
    TestVolume v = TaggedVolume(layout);  // a data size short of the runs counts
    v.records[0] = RecordBuilder(0)
                       .NonResident(kAttrData, EncodeRuns({{8, 16}}), 0, 7, 8 * 4096, 20 * 1024)
                       .OnDisk();
    Volume volume(v);
    uint64_t total = 0;
    EXPECT_EQ(volume.disk.Mft().BuildEntryList(total, false, 0), 20u);
  }
  const std::vector<std::pair<const char*, Buffer>> broken = {
      {"run outside the volume", EncodeRuns({{8, 16}, {8, 5000}})},
      {"sparse run", EncodeRuns({{8, 16}, {8, -1}})},
      {"damaged run list", testing::ToBuffer({0x09, 1, 0, 0, 0, 0, 0, 0, 0, 0})},
  };
  for (const auto& [what, runList] : broken) {
    SCOPED_TRACE(what);
    TestVolume v = TaggedVolume(layout);
    v.records[0] = RecordBuilder(0).NonResident(kAttrData, runList, 0, 15, 65536, 65536).OnDisk();
    Volume volume(v);
    EXPECT_FALSE(volume.disk.Mft().LoadMftRecord());
    EXPECT_EQ(volume.disk.Mft().MftRecordCount(), 0u);
    EXPECT_EQ(volume.disk.Mft().ReadFileRecord(1, false, true, false), nullptr);
  }
  {
    TestVolume v = TaggedVolume(layout);  // record 0 without "FILE"
    v.records[0][0] = std::byte{'B'};
    Volume volume(v);
    EXPECT_FALSE(volume.disk.Mft().LoadMftRecord());
  }
}

}  // namespace
}  // namespace stow::engine
