// The derived-flag steps of the inventory on hand-built lists: MBR kinds from a
// partition table on a memory disk, GPT FAT flags, the system volume flag.
#include <gtest/gtest.h>

#include <memory>

#include "discovery/Inventory.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"

namespace stow::discovery {
namespace {

using enum platform::PartitionStyle;

constexpr uint64_t kSector = 512;
constexpr size_t kTypeOffset = 4;
constexpr size_t kLbaOffset = 8;
constexpr size_t kCountOffset = 12;
constexpr size_t kSignatureOffset = 510;
constexpr uint8_t kNtfsType = 0x07;
constexpr uint8_t kFat32Type = 0x0C;
constexpr uint8_t kExtendedType = 0x0F;
constexpr int kMbrDisk = 4;
constexpr int kOtherDisk = 5;

// The disk of the tests (512-byte sectors), small so that each open copies little:
//   primary  63 (NTFS)     primary 200 (FAT32)
//   extended 400..         logical 463 (EBR 400), logical 663 (EBR 600)
// The fourth MBR slot is unused.
constexpr uint64_t kPrimary1 = 63;
constexpr uint64_t kPrimary2 = 200;
constexpr uint64_t kExtended = 400;
constexpr uint64_t kEbr2 = 600;
constexpr uint32_t kLogicalOffset = 63;
constexpr uint64_t kLogical1 = kExtended + kLogicalOffset;
constexpr uint64_t kLogical2 = kEbr2 + kLogicalOffset;
constexpr uint32_t kPartitionSectors = 100;
constexpr uint64_t kDiskSectors = 1024;

void PutEntry(std::vector<std::byte>& disk, uint64_t sector, int slot, uint8_t type, uint32_t lba,
              uint32_t count) {
  std::byte* e = disk.data() + sector * kSector + 446 + 16 * static_cast<size_t>(slot);
  e[kTypeOffset] = std::byte{type};
  StoreLe32(e + kLbaOffset, lba);
  StoreLe32(e + kCountOffset, count);
  StoreLe16(disk.data() + sector * kSector + kSignatureOffset, 0xAA55);
}

std::vector<std::byte> MakeMbrDisk() {
  std::vector<std::byte> disk(kDiskSectors * kSector);
  PutEntry(disk, 0, 0, kNtfsType, kPrimary1, kPartitionSectors);
  PutEntry(disk, 0, 1, kFat32Type, kPrimary2, kPartitionSectors);
  PutEntry(disk, 0, 2, kExtendedType, kExtended, kDiskSectors - kExtended);
  // Each EBR: the logical partition relative to the EBR, the next EBR relative to
  // the extended partition's start.
  PutEntry(disk, kExtended, 0, kNtfsType, kLogicalOffset, kPartitionSectors);
  PutEntry(disk, kExtended, 1, kExtendedType, kEbr2 - kExtended, 2 * kPartitionSectors);
  PutEntry(disk, kEbr2, 0, kNtfsType, kLogicalOffset, kPartitionSectors);
  return disk;
}

PartitionInfo Record(int32_t disk, platform::PartitionStyle style, uint64_t start,
                     const std::string& fs = "NTFS") {
  PartitionInfo r;
  r.diskNumber = disk;
  r.partitionStyle = style;
  r.startSector = start;
  r.fileSystemName = fs;
  return r;
}

struct MemoryOpener {
  std::vector<std::byte> image = MakeMbrDisk();
  int calls = 0;

  DiskOpener Get() {
    return [this](int diskNumber, engine::DiskDevice& disk) {
      ++calls;
      if (diskNumber != kMbrDisk) return engine::DiskResult::kOpenFailed;
      disk.Attach(std::make_unique<platform::MemoryBlockDevice>(image), false);
      return engine::DiskResult::kOk;
    };
  }
};

TEST(ClassifyMbrKinds, PrimaryAndLogicalPartitionsByStartSector) {
  PartitionList list{
      Record(kMbrDisk, kStyleMbr, kPrimary1),
      Record(kMbrDisk, kStyleMbr, kLogical1),
      Record(kMbrDisk, kStyleMbr, kPrimary2, "FAT32"),
      Record(kMbrDisk, kStyleMbr, kLogical2),
      // The extended partition itself is no volume; a record starting there is no match.
      Record(kMbrDisk, kStyleMbr, kExtended),
      // A start sector left at 0 by a failed query must not match the unused slot.
      Record(kMbrDisk, kStyleMbr, 0),
  };
  MemoryOpener opener;
  ClassifyMbrKinds(list, opener.Get());
  EXPECT_EQ(list[0].mbrKind, kMbrKindPrimary);
  EXPECT_EQ(list[1].mbrKind, kMbrKindLogical);
  EXPECT_EQ(list[2].mbrKind, kMbrKindPrimary);
  EXPECT_EQ(list[3].mbrKind, kMbrKindLogical);
  EXPECT_EQ(list[4].mbrKind, kMbrKindUnknown);
  EXPECT_EQ(list[5].mbrKind, kMbrKindUnknown);
}

TEST(ClassifyMbrKinds, OnlyMbrRecordsOfTheOpenedDiskAreTouched) {
  PartitionList list{
      Record(kMbrDisk, kStyleGpt, kPrimary1),    // not an MBR disk
      Record(kOtherDisk, kStyleMbr, kPrimary1),  // its disk cannot be opened
      Record(kMbrDisk, kStyleMbr, kPrimary2),
      Record(kOtherDisk, kStyleMbr, kLogical1),  // same sector, other disk
      Record(kMbrDisk, kStyleMbr, kLogical2),
      Record(kNoDiskNumber, kStyleMbr, kPrimary1),
  };
  list[4].mbrKind = kMbrKindPrimary;  // already classified: left alone by its own turn
  MemoryOpener opener;
  ClassifyMbrKinds(list, opener.Get());
  EXPECT_EQ(list[0].mbrKind, kMbrKindUnknown);
  EXPECT_EQ(list[1].mbrKind, kMbrKindUnknown);
  EXPECT_EQ(list[2].mbrKind, kMbrKindPrimary);
  EXPECT_EQ(list[3].mbrKind, kMbrKindUnknown);
  // A later record of the same disk is classified with its group from the table.
  EXPECT_EQ(list[4].mbrKind, kMbrKindLogical);
  EXPECT_EQ(list[5].mbrKind, kMbrKindUnknown);
  // One open for disk 4's group, one per try of the unopenable disks (5 twice, -1 once).
  EXPECT_EQ(opener.calls, 4);
}

TEST(ClassifyMbrKinds, DamagedEbrChainKeepsTheEntriesBeforeIt) {
  MemoryOpener opener;
  // The first EBR's link leaves the disk: the table reader stops there with an error.
  PutEntry(opener.image, kExtended, 1, kExtendedType, 0xFFFFFF00u, 1);
  PartitionList list{Record(kMbrDisk, kStyleMbr, kPrimary1), Record(kMbrDisk, kStyleMbr, kLogical1),
                     Record(kMbrDisk, kStyleMbr, kLogical2)};
  ClassifyMbrKinds(list, opener.Get());
  EXPECT_EQ(list[0].mbrKind, kMbrKindPrimary);
  EXPECT_EQ(list[1].mbrKind, kMbrKindLogical);
  EXPECT_EQ(list[2].mbrKind, kMbrKindUnknown);
}

TEST(ClassifyMbrKinds, UnreadableDiskLeavesKindsUnknown) {
  MemoryOpener opener;
  opener.image.resize(100);  // shorter than the MBR sector
  PartitionList list{Record(kMbrDisk, kStyleMbr, kPrimary1)};
  ClassifyMbrKinds(list, opener.Get());
  EXPECT_EQ(list[0].mbrKind, kMbrKindUnknown);
}

TEST(MarkGptFatDisks, EveryVolumeOfADiskWithAFatVolumeGetsOneElseTwo) {
  PartitionList list{
      Record(1, kStyleGpt, 2048, "NTFS"),  Record(2, kStyleGpt, 2048, "NTFS"),
      Record(1, kStyleGpt, 4096, "FAT32"), Record(3, kStyleMbr, 2048, "FAT32"),
      Record(2, kStyleGpt, 4096, "ext4"),  Record(4, kStyleGpt, 2048, "exFAT"),
      Record(5, kStyleGpt, 2048, "vfat"),  // the system's lower-case name is not "FAT"
  };
  MarkGptFatDisks(list);
  EXPECT_EQ(list[0].gptFatFlag, kGptFatPresent);
  EXPECT_EQ(list[1].gptFatFlag, kGptFatAbsent);
  EXPECT_EQ(list[2].gptFatFlag, kGptFatPresent);
  EXPECT_EQ(list[3].gptFatFlag, kGptFatUnknown);
  EXPECT_EQ(list[4].gptFatFlag, kGptFatAbsent);
  EXPECT_EQ(list[5].gptFatFlag, kGptFatPresent);
  EXPECT_EQ(list[6].gptFatFlag, kGptFatAbsent);
}

TEST(MarkGptFatDisks, TheFatVolumeMayComeAfterTheOthers) {
  PartitionList list{Record(7, kStyleGpt, 1, "NTFS"), Record(7, kStyleGpt, 2, "NTFS"),
                     Record(7, kStyleGpt, 3, "FAT")};
  MarkGptFatDisks(list);
  for (const PartitionInfo& r : list) EXPECT_EQ(r.gptFatFlag, kGptFatPresent);
}

TEST(MarkSystemVolume, OnlyTheExactRootMatches) {
  PartitionList list(5);
  list[0].mountPath = "/boot";
  list[1].mountPath = "/";
  list[2].mountPath = "";
  list[3].mountPath = "//";
  list[4].mountPath = "/";
  list[4].systemVolume = 1;
  MarkSystemVolume(list, "/");
  EXPECT_EQ(list[0].systemVolume, 0);
  EXPECT_EQ(list[1].systemVolume, 1);
  EXPECT_EQ(list[2].systemVolume, 0);
  EXPECT_EQ(list[3].systemVolume, 0);
  EXPECT_EQ(list[4].systemVolume, 1);

  // Windows roots compare case-sensitively, as the system directory gives them.
  PartitionList windows(2);
  windows[0].mountPath = "C:\\";
  windows[1].mountPath = "c:\\";
  MarkSystemVolume(windows, "C:\\");
  EXPECT_EQ(windows[0].systemVolume, 1);
  EXPECT_EQ(windows[1].systemVolume, 0);
}

// The queries answer their failure values for paths that are no volume.
TEST(InventoryQueries, PathsThatAreNoVolume) {
  EXPECT_EQ(GetVolumeStartSector("/nonexistent/stowline-volume"), 0u);
  EXPECT_EQ(GetVolumeStartSector("/dev/null"), 0u);  // a character device
  EXPECT_EQ(GetDiskPartitionStyle("/nonexistent/stowline-volume", kNoDiskNumber), kStyleNotOpened);
  EXPECT_EQ(GetDiskPartitionStyle("/dev/null", 999999), kStyleNotOpened);
}

}  // namespace
}  // namespace stow::discovery
