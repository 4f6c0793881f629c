#include "engine/disk/PartitionTable.h"

#include <cstdio>
#include <limits>

namespace stow::engine {
namespace {

// Fields of a 16-byte MBR/EBR entry.
constexpr size_t kEntryStartingLbaOffset = 8;
constexpr size_t kEntrySectorCountOffset = 12;

uint32_t RawLe32(const std::array<uint8_t, 16>& raw, size_t offset) {
  return static_cast<uint32_t>(raw[offset]) | (static_cast<uint32_t>(raw[offset + 1]) << 8) |
         (static_cast<uint32_t>(raw[offset + 2]) << 16) |
         (static_cast<uint32_t>(raw[offset + 3]) << 24);
}

}  // namespace

uint32_t PartitionTableEntry::StartingLba() const { return RawLe32(raw, kEntryStartingLbaOffset); }

uint32_t PartitionTableEntry::SectorCount() const { return RawLe32(raw, kEntrySectorCountOffset); }

uint64_t PartitionTableEntry::AbsoluteStart() const {
  if (kind == kGptEntry) return firstLba;
  // A base sector comes from a disk that the table walk has bounded, and the
  // starting LBA is 32-bit, so this cannot overflow for any listed entry.
  return baseSector + StartingLba();
}

uint64_t PartitionTableEntry::LengthSectors() const {
  if (kind != kGptEntry) return SectorCount();
  // A hostile entry may end before it starts; it then covers nothing.
  if (lastLba < firstLba) return 0;
  const uint64_t span = lastLba - firstLba;
  return span == std::numeric_limits<uint64_t>::max() ? span : span + 1;
}

// The text form of a GUID: the first three fields are stored little-endian,
// the last two as bytes in order.
std::string GuidToString(const Guid& guid) {
  char text[37];
  std::snprintf(text, sizeof text,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", guid[3],
                guid[2], guid[1], guid[0], guid[5], guid[4], guid[7], guid[6], guid[8], guid[9],
                guid[10], guid[11], guid[12], guid[13], guid[14], guid[15]);
  return text;
}

}  // namespace stow::engine
