// Entries of an MBR, EBR or GPT partition table as ReadPartitionTable lists them.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace stow::engine {

enum class PartitionEntryKind : int { kPrimaryEntry = 0, kLogicalEntry = 1, kGptEntry = 3 };
using enum PartitionEntryKind;

// An MBR entry of one of these types holds the EBR chain of logical partitions:
// 0x0F (LBA addressing, what Windows writes), 0x05 (CHS-era, what Linux tools
// and older Windows write) and 0x85 (Linux's own marker).
inline constexpr uint8_t kExtendedPartitionType = 0x0F;
inline constexpr uint8_t kExtendedPartitionTypeChs = 0x05;
inline constexpr uint8_t kExtendedPartitionTypeLinux = 0x85;
constexpr bool IsExtendedPartitionType(uint8_t type) {
  return type == kExtendedPartitionType || type == kExtendedPartitionTypeChs ||
         type == kExtendedPartitionTypeLinux;
}
inline constexpr uint8_t kProtectiveMbrType = 0xEE;
inline constexpr size_t kMbrEntriesOffset = 446;
inline constexpr size_t kMbrEntrySize = 16;

using Guid = std::array<uint8_t, 16>;

struct PartitionTableEntry {
  // MBR kinds: the 16-byte entry as stored (boot indicator, CHS start, type, CHS end,
  // starting LBA, sector count).
  std::array<uint8_t, 16> raw{};
  // GPT kind.
  Guid typeGuid{};
  Guid uniqueGuid{};
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;
  uint64_t attributes = 0;
  std::u16string name;  // at most the first 16 characters
  // The sector that holds the entry (0 for the MBR's own four).
  uint64_t baseSector = 0;
  PartitionEntryKind kind = kPrimaryEntry;

  uint8_t BootIndicator() const { return raw[0]; }
  uint8_t Type() const { return raw[4]; }
  uint32_t StartingLba() const;
  uint32_t SectorCount() const;
  // Absolute first sector of the partition (MBR: base + starting LBA; GPT: first LBA).
  uint64_t AbsoluteStart() const;
  // Length in sectors (MBR: sector count; GPT: last - first + 1).
  uint64_t LengthSectors() const;
};

std::string GuidToString(const Guid& guid);

}  // namespace stow::engine
