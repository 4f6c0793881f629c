// The partition-table reader and the active flag over memory disks: real tables
// made by sfdisk and sgdisk (the fuzzer's seeds), then mutated one field at a time,
// plus hostile chains and headers that must end with a result code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "engine/disk/DiskPartitions.h"
#include "engine/disk/PartitionTableParser.h"
#include "platform/MemoryBlockDevice.h"
#include "support/Bytes.h"

namespace stow::engine {
namespace {

using platform::IoResult;
using platform::MemoryBlockDevice;
using Disk = std::vector<std::byte>;

constexpr uint64_t kSector = 512;
constexpr size_t kHeaderCrc = 16, kEntriesLba = 72, kEntryCount = 80, kEntrySize = 84,
                 kEntriesCrc = 88, kHeaderSize = 12;

Disk LoadSeed(const std::string& name) {
  std::ifstream in(std::string(STOWLINE_SOURCE_DIR) + "/fuzz/corpus/ptable_fuzzer/" + name,
                   std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty()) ADD_FAILURE() << "seed " << name << " is missing";
  Disk disk(bytes.size());
  std::transform(bytes.begin(), bytes.end(), disk.begin(),
                 [](char c) { return static_cast<std::byte>(c); });
  return disk;
}

// A memory disk whose reads at one byte offset fail or come up short.
class ReadFaultDevice final : public platform::BlockDevice {
 public:
  ReadFaultDevice(Disk data, uint64_t failOffset, uint64_t shortBy)
      : inner_(std::move(data)), failOffset_(failOffset), shortBy_(shortBy) {}
  const std::string& Path() const override { return inner_.Path(); }
  uint64_t Size() const override { return inner_.Size(); }
  uint32_t SectorSize() const override { return 512; }
  bool IsBlockDevice() const override { return false; }
  bool IsWritable() const override { return true; }
  IoResult ReadAt(uint64_t offset, std::span<std::byte> out) override {
    if (offset != failOffset_) return inner_.ReadAt(offset, out);
    if (shortBy_ == 0) return {0, 5};
    return inner_.ReadAt(offset, out.first(out.size() - shortBy_));
  }
  IoResult WriteAt(uint64_t offset, std::span<const std::byte> in) override {
    return inner_.WriteAt(offset, in);
  }
  int Flush() override { return 0; }
  int Lock() override { return 0; }
  int Unlock() override { return 0; }
  int UpdateProperties() override { return 0; }

 private:
  MemoryBlockDevice inner_;
  uint64_t failOffset_;
  uint64_t shortBy_;
};

DiskResult ReadTable(Disk disk, std::vector<PartitionTableEntry>& out) {
  DiskDevice d;
  d.Attach(std::make_unique<MemoryBlockDevice>(std::move(disk)), false);
  return ReadPartitionTable(d, out);
}

DiskResult ReadTable(Disk disk) {
  std::vector<PartitionTableEntry> out;
  return ReadTable(std::move(disk), out);
}

// Writes one 16-byte MBR/EBR entry into the sector at `sector`.
void SetEntry(Disk& disk, uint64_t sector, size_t slot, uint8_t type, uint32_t start,
              uint32_t count, uint8_t boot = 0) {
  std::byte* e = &disk[sector * kSector + kMbrEntriesOffset + slot * kMbrEntrySize];
  e[0] = std::byte{boot};
  e[4] = std::byte{type};
  StoreLe32(e + 8, start);
  StoreLe32(e + 12, count);
  // A sector with entries is a table sector: it carries the signature.
  disk[sector * kSector + 510] = std::byte{0x55};
  disk[sector * kSector + 511] = std::byte{0xAA};
}

// An MBR disk of `sectors` sectors with one extended partition at `extStart`.
Disk MbrWithExtended(uint64_t sectors, uint32_t extStart) {
  Disk disk(sectors * kSector);
  SetEntry(disk, 0, 0, 0x07, 1, 1);
  SetEntry(disk, 0, 1, kExtendedPartitionType, extStart, static_cast<uint32_t>(sectors - extStart));
  return disk;
}

// An EBR at `sector` whose logical partition follows it and whose link is `next`
// (relative to the extended partition's start).
void SetEbr(Disk& disk, uint64_t sector, uint32_t next) {
  SetEntry(disk, sector, 0, 0x07, 1, 1);
  SetEntry(disk, sector, 1, kExtendedPartitionType, next, next ? 2 : 0);
}

// Recomputes the entry array CRC and then the header CRC from the header's fields.
void FixGptCrcs(Disk& disk) {
  std::byte* h = &disk[kSector];
  const uint64_t array = LoadLe64(h + kEntriesLba) * kSector;
  const uint64_t bytes = uint64_t{LoadLe32(h + kEntryCount)} * LoadLe32(h + kEntrySize);
  if (RangeFits(disk.size(), array, bytes)) {
    StoreLe32(h + kEntriesCrc, Crc32(Bytes(&disk[array], bytes)));
  }
  const uint32_t size = std::min<uint32_t>(LoadLe32(h + kHeaderSize), 512);
  StoreLe32(h + kHeaderCrc, 0);
  StoreLe32(h + kHeaderCrc, Crc32(Bytes(h, size)));
}

struct GptPart {
  uint64_t first, last, attributes;
  uint8_t typeByte;
  std::u16string name;
};

// A GPT disk built from scratch with `count` entries of `size` bytes at LBA 2.
Disk SyntheticGpt(const std::vector<GptPart>& parts, uint32_t count = 128, uint32_t size = 128,
                  uint64_t sectors = 0) {
  const uint64_t arraySectors = (uint64_t{count} * size + kSector - 1) / kSector;
  Disk disk((sectors ? sectors : 2 + arraySectors + 1) * kSector);
  SetEntry(disk, 0, 0, kProtectiveMbrType, 1, 0xFFFFFFFF);
  std::byte* h = &disk[kSector];
  std::memcpy(h, "EFI PART", 8);
  StoreLe32(h + 8, 0x00010000);
  StoreLe32(h + kHeaderSize, 92);
  StoreLe64(h + 24, 1);
  StoreLe64(h + kEntriesLba, 2);
  StoreLe32(h + kEntryCount, count);
  StoreLe32(h + kEntrySize, size);
  for (size_t i = 0; i < parts.size(); ++i) {
    std::byte* e = &disk[2 * kSector + i * size];
    for (size_t b = 0; b < 16; ++b) {
      e[b] = std::byte{parts[i].typeByte};
      e[16 + b] = static_cast<std::byte>(i * 16 + b);
    }
    StoreLe64(e + 32, parts[i].first);
    StoreLe64(e + 40, parts[i].last);
    StoreLe64(e + 48, parts[i].attributes);
    for (size_t c = 0; c < parts[i].name.size() && c < 36; ++c) {
      StoreLe16(e + 56 + 2 * c, static_cast<uint16_t>(parts[i].name[c]));
    }
  }
  FixGptCrcs(disk);
  return disk;
}

// --- MBR ---------------------------------------------------------------------

TEST(MbrTable, FourPrimaryEntriesAreListedEmptyOnesIncluded) {
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(LoadSeed("mbr-primary.bin"), out), DiskResult::kOk);
  ASSERT_EQ(out.size(), 4u);
  const uint8_t types[] = {0x07, 0x83, 0xEF, 0x00};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(out[i].kind, kPrimaryEntry);
    EXPECT_EQ(out[i].baseSector, 0u);
    EXPECT_EQ(out[i].Type(), types[i]);
  }
  EXPECT_EQ(out[0].AbsoluteStart(), 2u);
  EXPECT_EQ(out[2].BootIndicator(), 0x80);
  EXPECT_EQ(out[3].LengthSectors(), 0u);
}

TEST(MbrTable, ExtendedEntryIsWalkedNotListedAndLinksAreRelativeToItsStart) {
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(LoadSeed("mbr-logical3.bin"), out), DiskResult::kOk);
  // Primaries 1, 2 and the empty slot 4; then the three logicals, whose EBRs sit
  // at 8 (the extended start), 12 and 15: the links are 4 and 7 from sector 8.
  ASSERT_EQ(out.size(), 6u);
  const struct {
    PartitionEntryKind kind;
    uint64_t base, start, length;
    uint8_t type;
  } expected[] = {{kPrimaryEntry, 0, 2, 4, 0x0C},   {kPrimaryEntry, 0, 6, 2, 0x83},
                  {kPrimaryEntry, 0, 0, 0, 0x00},   {kLogicalEntry, 8, 10, 2, 0x07},
                  {kLogicalEntry, 12, 13, 2, 0x07}, {kLogicalEntry, 15, 16, 2, 0x82}};
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i].kind, expected[i].kind);
    EXPECT_EQ(out[i].baseSector, expected[i].base);
    EXPECT_EQ(out[i].AbsoluteStart(), expected[i].start);
    EXPECT_EQ(out[i].LengthSectors(), expected[i].length);
    EXPECT_EQ(out[i].Type(), expected[i].type);
  }
}

TEST(MbrTable, Types05And85AreWalkedLike0FAndOnlyLba1MakesItProtective) {
  // Linux tools write 0x05 (sfdisk's "Extended") and 0x85; both hold an EBR
  // chain. The table then reads exactly as with 0x0F.
  std::vector<PartitionTableEntry> reference;
  ASSERT_EQ(ReadTable(LoadSeed("mbr-logical3.bin"), reference), DiskResult::kOk);
  for (const uint8_t type : {uint8_t{0x05}, uint8_t{0x85}}) {
    SCOPED_TRACE(static_cast<int>(type));
    Disk disk = LoadSeed("mbr-logical3.bin");
    disk[kMbrEntriesOffset + 2 * kMbrEntrySize + 4] = std::byte{type};
    std::vector<PartitionTableEntry> out;
    ASSERT_EQ(ReadTable(disk, out), DiskResult::kOk);
    ASSERT_EQ(out.size(), reference.size());
    for (size_t i = 0; i < out.size(); ++i) {
      EXPECT_EQ(out[i].kind, reference[i].kind);
      EXPECT_EQ(out[i].AbsoluteStart(), reference[i].AbsoluteStart());
      EXPECT_EQ(out[i].Type(), reference[i].Type());
    }
  }
  // Any other type in that slot is a primary partition and nothing is walked.
  Disk plain = LoadSeed("mbr-logical3.bin");
  plain[kMbrEntriesOffset + 2 * kMbrEntrySize + 4] = std::byte{0x07};
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(plain, out), DiskResult::kOk);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[2].Type(), 0x07);
  EXPECT_EQ(out[2].kind, kPrimaryEntry);

  Disk notProtective = LoadSeed("gpt-sgdisk.bin");
  StoreLe32(&notProtective[kMbrEntriesOffset + 8], 2);
  out.clear();
  ASSERT_EQ(ReadTable(notProtective, out), DiskResult::kOk);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0].Type(), kProtectiveMbrType);
}

TEST(MbrTable, TwoExtendedEntriesAreBothWalked) {
  Disk disk(64 * kSector);
  SetEntry(disk, 0, 0, 0x05, 10, 20);
  SetEntry(disk, 0, 1, 0x07, 40, 4);
  SetEntry(disk, 0, 3, 0x85, 50, 10);
  SetEbr(disk, 10, 0);
  SetEbr(disk, 50, 0);
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(disk, out), DiskResult::kOk);
  ASSERT_EQ(out.size(), 4u);  // the primary, the empty third slot, two logicals
  EXPECT_EQ(out[2].kind, kLogicalEntry);
  EXPECT_EQ(out[2].AbsoluteStart(), 11u);
  EXPECT_EQ(out[3].kind, kLogicalEntry);
  EXPECT_EQ(out[3].AbsoluteStart(), 51u);
}

TEST(MbrTable, WithoutTheBootSignatureThereIsNoTable) {
  // Four "entries" of garbage on a disk that never had a table are not listed.
  Disk garbage(64 * kSector);
  for (size_t i = 0; i < kSector; ++i) garbage[i] = static_cast<std::byte>(i * 37 + 11);
  garbage[510] = std::byte{0x55};
  garbage[511] = std::byte{0x00};
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(garbage, out), DiskResult::kNoPartitionTable);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(ReadTable(Disk(64 * kSector)), DiskResult::kNoPartitionTable) << "an all-zero disk";

  // A real table with its signature wiped, and a GPT whose protective MBR lost it.
  for (const char* seed : {"mbr-primary.bin", "mbr-logical3.bin", "gpt-sgdisk.bin"}) {
    SCOPED_TRACE(seed);
    Disk disk = LoadSeed(seed);
    disk[511] = std::byte{0};
    out.clear();
    EXPECT_EQ(ReadTable(disk, out), DiskResult::kNoPartitionTable);
    EXPECT_TRUE(out.empty());
  }

  // The active flag is not set in a sector that is no table.
  Disk unsigned0 = LoadSeed("mbr-primary.bin");
  unsigned0[510] = std::byte{0};
  const Disk before = unsigned0;
  DiskDevice d;
  auto device = std::make_unique<MemoryBlockDevice>(unsigned0);
  MemoryBlockDevice* raw = device.get();
  d.Attach(std::move(device), false);
  EXPECT_EQ(SetActivePartition(d, 0), DiskResult::kNoPartitionTable);
  EXPECT_EQ(raw->Data(), before);
}

TEST(EbrChain, AnEbrWithoutTheSignatureEndsTheChainAsDamaged) {
  Disk disk = MbrWithExtended(64, 10);
  SetEbr(disk, 10, 10);
  SetEbr(disk, 20, 0);
  disk[20 * kSector + 510] = std::byte{0};
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(disk, out), DiskResult::kBadTable);
  ASSERT_EQ(out.size(), 3u + 1u) << "the entries before the damaged EBR stay listed";
  EXPECT_EQ(out[3].AbsoluteStart(), 11u);
}

TEST(MbrTable, FirstSectorFailures) {
  DiskDevice closed;
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadPartitionTable(closed, out), DiskResult::kNoDevice);
  EXPECT_EQ(SetActivePartition(closed, 0), DiskResult::kNoDevice);
  EXPECT_EQ(ReadTable(Disk(300)), DiskResult::kShortRead);

  DiskDevice failing;
  auto dev = std::make_unique<MemoryBlockDevice>(Disk(4096));
  dev->FailReads(1);
  failing.Attach(std::move(dev), false);
  EXPECT_EQ(ReadPartitionTable(failing, out), DiskResult::kReadFailed);
  EXPECT_TRUE(out.empty());
}

// --- EBR chain -----------------------------------------------------------------

TEST(EbrChain, LoopsAreRefusedAfterTheEntriesSeenSoFar) {
  // Self-loop: the EBR at 20 links to 10 + 10 = itself.
  Disk self = MbrWithExtended(64, 10);
  SetEbr(self, 10, 10);
  SetEbr(self, 20, 10);
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(self, out), DiskResult::kBadTable);
  EXPECT_EQ(out.size(), 3u + 2u);  // primaries, then 10 and 20 once each

  // Two-cycle: 10 -> 20 -> 30 -> 20.
  Disk cycle = MbrWithExtended(64, 10);
  SetEbr(cycle, 10, 10);
  SetEbr(cycle, 20, 20);
  SetEbr(cycle, 30, 10);
  EXPECT_EQ(ReadTable(cycle), DiskResult::kBadTable);

  // An extended partition at sector 0 would read the MBR as its own EBR.
  EXPECT_EQ(ReadTable(MbrWithExtended(64, 0)), DiskResult::kBadTable);
}

TEST(EbrChain, EbrsOutsideTheDiskAreRefused) {
  EXPECT_EQ(ReadTable(MbrWithExtended(64, 64)), DiskResult::kBadTable);
  EXPECT_EQ(ReadTable(MbrWithExtended(64, 0xFFFFFFFF)), DiskResult::kBadTable);

  // The last sector of the disk is still on it.
  Disk lastSector = MbrWithExtended(64, 10);
  SetEbr(lastSector, 10, 53);
  SetEbr(lastSector, 63, 0);
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(lastSector, out), DiskResult::kOk);
  EXPECT_EQ(out.back().baseSector, 63u);

  Disk pastEnd = MbrWithExtended(64, 10);
  SetEbr(pastEnd, 10, 54);
  EXPECT_EQ(ReadTable(pastEnd), DiskResult::kBadTable);
  SetEbr(pastEnd, 10, 0xFFFFFFFF);
  EXPECT_EQ(ReadTable(pastEnd), DiskResult::kBadTable);
}

TEST(EbrChain, LogicalEntriesAreCappedAt128) {
  auto chain = [](uint32_t ebrs) {
    Disk disk = MbrWithExtended(16 + ebrs, 8);
    for (uint32_t i = 0; i < ebrs; ++i) SetEbr(disk, 8 + i, i + 1 < ebrs ? i + 1 : 0);
    return disk;
  };
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(chain(kMaxLogicalEntries), out), DiskResult::kOk);
  EXPECT_EQ(out.size(), 3u + kMaxLogicalEntries);
  out.clear();
  EXPECT_EQ(ReadTable(chain(kMaxLogicalEntries + 1), out), DiskResult::kBadTable);
  EXPECT_EQ(out.size(), 3u + kMaxLogicalEntries);
}

TEST(EbrChain, AFailedReadAndAShortReadGiveTheirOwnErrors) {
  auto readWith = [](uint64_t shortBy, std::vector<PartitionTableEntry>& out) {
    DiskDevice d;
    // The second EBR (sector 12) of the seed cannot be read.
    d.Attach(std::make_unique<ReadFaultDevice>(LoadSeed("mbr-logical3.bin"), 12 * kSector, shortBy),
             false);
    return ReadPartitionTable(d, out);
  };
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(readWith(0, out), DiskResult::kReadFailed);
  EXPECT_EQ(out.size(), 4u);  // the entries before the failure stay listed
  out.clear();
  EXPECT_EQ(readWith(1, out), DiskResult::kEbrShortRead);
}

// --- GPT -------------------------------------------------------------------------

TEST(GptTable, RealSgdiskTableIsListedWithGuidsNamesAndAttributes) {
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(LoadSeed("gpt-sgdisk.bin"), out), DiskResult::kIsGpt);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(GuidToString(out[0].typeGuid), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(GuidToString(out[1].typeGuid), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_EQ(GuidToString(out[2].typeGuid), "0FC63DAF-8483-4772-8E79-3D69D8477DE4");
  EXPECT_EQ(out[0].name, u"EFI system parti");  // the first 16 characters
  EXPECT_EQ(out[2].name, u"linux");
  EXPECT_EQ(out[2].attributes, (uint64_t{1} << 2) | (uint64_t{1} << 60));
  for (const auto& e : out) {
    EXPECT_EQ(e.kind, kGptEntry);
    EXPECT_EQ(e.baseSector, 2u);
    EXPECT_NE(e.uniqueGuid, Guid{});
  }
  EXPECT_EQ(out[1].AbsoluteStart(), 100u);
  EXPECT_EQ(out[1].LengthSectors(), 200u);
  EXPECT_NE(out[0].uniqueGuid, out[1].uniqueGuid);
}

TEST(GptTable, ShortArraysLargeEntriesAndHalfEmptyEntries) {
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(LoadSeed("gpt-sfdisk8.bin"), out), DiskResult::kIsGpt);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[2].name, u"Windows");
  EXPECT_EQ(out[2].AbsoluteStart(), 40u);

  // 256-byte entries; an entry with only its last LBA set is listed, an empty one
  // is not, and one that ends before it starts covers nothing.
  out.clear();
  Disk disk = SyntheticGpt({{0, 0, 0, 1, u"skipped"},
                            {0, 99, 0, 2, u"last only"},
                            {50, 40, 0, 3, u"backwards"},
                            {0, ~uint64_t{0}, 0, 4, u"everything"}},
                           4, 256);
  ASSERT_EQ(ReadTable(disk, out), DiskResult::kIsGpt);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].name, u"last only");
  EXPECT_EQ(out[0].LengthSectors(), 100u);
  EXPECT_EQ(out[1].LengthSectors(), 0u);
  EXPECT_EQ(out[2].LengthSectors(), ~uint64_t{0});
  EXPECT_EQ(out[2].baseSector, 2u + 3 * 256 / kSector);
}

TEST(GptTable, SignatureAndShortDisks) {
  Disk disk = LoadSeed("gpt-sgdisk.bin");
  disk[kSector + 3] = std::byte{'x'};
  EXPECT_EQ(ReadTable(disk), DiskResult::kNoGptSignature);

  Disk onlyMbr = LoadSeed("gpt-sgdisk.bin");
  onlyMbr.resize(kSector);
  EXPECT_EQ(ReadTable(onlyMbr), DiskResult::kShortRead);
}

// One header field changed (CRCs recomputed so that the field itself is judged).
struct HeaderMutation {
  const char* what;
  size_t offset;
  int width;  // 4 or 8 bytes
  uint64_t value;
  DiskResult expected;
};

TEST(GptTable, HeaderFieldsOutOfBoundsAreRefusedOneAtATime) {
  const HeaderMutation mutations[] = {
      {"header size 91", kHeaderSize, 4, 91, DiskResult::kBadTable},
      {"header size 513", kHeaderSize, 4, 513, DiskResult::kBadTable},
      {"header size 512", kHeaderSize, 4, 512, DiskResult::kIsGpt},
      {"entry size 0", kEntrySize, 4, 0, DiskResult::kBadTable},
      {"entry size 64", kEntrySize, 4, 64, DiskResult::kBadTable},
      {"entry size 192", kEntrySize, 4, 192, DiskResult::kBadTable},
      {"entry size 8192", kEntrySize, 4, 8192, DiskResult::kBadTable},
      {"entry count 2^32-1", kEntryCount, 4, 0xFFFFFFFF, DiskResult::kBadTable},
      {"array past 4 MiB", kEntryCount, 4, 32769, DiskResult::kBadTable},
      {"array past the disk end", kEntriesLba, 8, 3, DiskResult::kBadTable},
      {"array at a huge LBA", kEntriesLba, 8, uint64_t{1} << 63, DiskResult::kBadTable},
      {"no entries", kEntryCount, 4, 0, DiskResult::kIsGpt},
  };
  for (const auto& m : mutations) {
    SCOPED_TRACE(m.what);
    Disk disk = LoadSeed("gpt-sgdisk.bin");
    std::byte* field = &disk[kSector + m.offset];
    if (m.width == 4) {
      StoreLe32(field, static_cast<uint32_t>(m.value));
    } else {
      StoreLe64(field, m.value);
    }
    FixGptCrcs(disk);
    EXPECT_EQ(ReadTable(disk), m.expected);
  }
}

TEST(GptTable, ALargestAllowedArrayIsRead) {
  // 32,768 entries of 128 bytes: exactly the 4 MiB ceiling.
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadTable(SyntheticGpt({{34, 40, 0, 7, u"only"}}, 32768, 128), out),
            DiskResult::kIsGpt);
  EXPECT_EQ(out.size(), 1u);
}

TEST(GptTable, CrcMismatchesAreRefused) {
  Disk header = LoadSeed("gpt-sgdisk.bin");
  header[kSector + 40] ^= std::byte{1};  // first usable LBA
  EXPECT_EQ(ReadTable(header), DiskResult::kBadTable);

  // Bytes past the header size are not covered by its CRC.
  Disk reserved = LoadSeed("gpt-sgdisk.bin");
  reserved[kSector + 200] = std::byte{0x5A};
  EXPECT_EQ(ReadTable(reserved), DiskResult::kIsGpt);

  Disk array = LoadSeed("gpt-sgdisk.bin");
  array[2 * kSector + 128 + 60] ^= std::byte{1};  // a character of the second name
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ReadTable(array, out), DiskResult::kBadTable);
  EXPECT_TRUE(out.empty());
}

TEST(GptTable, ArrayReadFailures) {
  for (uint64_t shortBy : {uint64_t{0}, uint64_t{512}}) {
    DiskDevice d;
    d.Attach(std::make_unique<ReadFaultDevice>(LoadSeed("gpt-sgdisk.bin"), 2 * kSector, shortBy),
             false);
    std::vector<PartitionTableEntry> out;
    EXPECT_EQ(ReadPartitionTable(d, out),
              shortBy ? DiskResult::kShortRead : DiskResult::kReadFailed);
  }
}

TEST(GptParser, ShortBuffersAreRefusedNotOverrun) {
  Disk header = LoadSeed("gpt-sgdisk.bin");
  GptHeader parsed;
  EXPECT_EQ(ParseGptHeader(ByteView(&header[kSector], 60), parsed), DiskResult::kBadTable);
  EXPECT_EQ(ParseGptHeader(ByteView(&header[kSector], 92), parsed), DiskResult::kOk);
  parsed.entryCount = 4;
  std::vector<PartitionTableEntry> out;
  EXPECT_EQ(ParseGptEntries(ByteView(&header[2 * kSector], 511), parsed, out),
            DiskResult::kBadTable);

  MbrEntries entries;
  EXPECT_FALSE(ParseMbrEntries(ByteView(header.data(), 509), entries));
  EbrContent ebr;
  EXPECT_FALSE(ParseEbr(ByteView(header.data(), 100), ebr));
}

// --- Active partition --------------------------------------------------------------

struct ActiveFixture {
  DiskDevice disk;
  MemoryBlockDevice* device = nullptr;
  explicit ActiveFixture(Disk data) {
    auto dev = std::make_unique<MemoryBlockDevice>(std::move(data));
    device = dev.get();
    disk.Attach(std::move(dev), false);
  }
};

TEST(ActivePartition, MarksOneEntryClearsTheOthersAndChangesNothingElse) {
  const Disk before = LoadSeed("mbr-logical3.bin");
  ActiveFixture f(before);
  ASSERT_EQ(SetActivePartition(f.disk, 0), DiskResult::kOk);
  EXPECT_FALSE(f.device->Locked());
  Disk expected = before;
  for (size_t i = 0; i < 4; ++i) {
    expected[kMbrEntriesOffset + i * kMbrEntrySize] =
        std::byte{i == 0 ? uint8_t{0x80} : uint8_t{0}};
  }
  EXPECT_EQ(f.device->Data(), expected);

  ASSERT_EQ(SetActivePartition(f.disk, 3), DiskResult::kOk);
  std::vector<PartitionTableEntry> out;
  ASSERT_EQ(ReadPartitionTable(f.disk, out), DiskResult::kOk);
  EXPECT_EQ(out[0].BootIndicator(), 0);
  EXPECT_EQ(out[2].BootIndicator(), 0x80);  // slot 4: the third listed primary
}

TEST(ActivePartition, RefusalsWriteNothing) {
  {
    ActiveFixture f(LoadSeed("mbr-logical3.bin"));
    EXPECT_EQ(SetActivePartition(f.disk, 4), DiskResult::kNoSuchEntry);
    EXPECT_EQ(SetActivePartition(f.disk, 0xFFFFFFFF), DiskResult::kNoSuchEntry);
    EXPECT_EQ(f.device->WriteCalls(), 0);
  }
  {
    ActiveFixture f(LoadSeed("gpt-sgdisk.bin"));
    EXPECT_EQ(SetActivePartition(f.disk, 0), DiskResult::kIsGpt);
    EXPECT_EQ(f.device->WriteCalls(), 0);
  }
  {
    ActiveFixture f(LoadSeed("mbr-logical3.bin"));
    f.device->RefuseLock(true);
    EXPECT_EQ(SetActivePartition(f.disk, 0), DiskResult::kLockFailedForTable);
    EXPECT_EQ(f.device->WriteCalls(), 0);
  }
}

TEST(ActivePartition, AFailedWriteIsAnErrorAndReleasesTheLock) {
  ActiveFixture f(LoadSeed("mbr-logical3.bin"));
  f.device->FailWrites(1);
  EXPECT_EQ(SetActivePartition(f.disk, 0), DiskResult::kWriteFailed);
  EXPECT_FALSE(f.device->Locked());
  EXPECT_EQ(f.device->Data(), LoadSeed("mbr-logical3.bin"));
}

}  // namespace
}  // namespace stow::engine
