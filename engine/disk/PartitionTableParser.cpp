#include "engine/disk/PartitionTableParser.h"

#include <cstring>

#include "engine/disk/Disk.h"

namespace stow::engine {
namespace {

// MBR/EBR entry fields.
constexpr size_t kEntryTypeOffset = 4;
constexpr size_t kEntryStartingLbaOffset = 8;
constexpr uint32_t kProtectiveStartLba = 1;
// In an EBR the second entry links to the next EBR.
constexpr size_t kEbrLinkEntry = 1;

// GPT header fields.
constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr size_t kGptHeaderSizeOffset = 12;
constexpr size_t kGptHeaderCrcOffset = 16;
constexpr size_t kGptEntriesLbaOffset = 72;
constexpr size_t kGptEntryCountOffset = 80;
constexpr size_t kGptEntrySizeOffset = 84;
constexpr size_t kGptEntriesCrcOffset = 88;

// GPT entry fields.
constexpr size_t kGptTypeGuidOffset = 0;
constexpr size_t kGptUniqueGuidOffset = 16;
constexpr size_t kGptFirstLbaOffset = 32;
constexpr size_t kGptLastLbaOffset = 40;
constexpr size_t kGptAttributesOffset = 48;
constexpr size_t kGptNameOffset = 56;
constexpr size_t kGptNameCharsKept = 16;

void SetReason(const char** reason, const char* text) {
  if (reason) *reason = text;
}

Guid ReadGuid(ByteView view, size_t offset) {
  Guid guid{};
  for (size_t i = 0; i < guid.size(); ++i) guid[i] = view.U8(offset + i);
  return guid;
}

PartitionTableEntry ParseGptEntry(ByteView entry) {
  PartitionTableEntry e;
  e.kind = kGptEntry;
  e.typeGuid = ReadGuid(entry, kGptTypeGuidOffset);
  e.uniqueGuid = ReadGuid(entry, kGptUniqueGuidOffset);
  e.firstLba = entry.U64(kGptFirstLbaOffset);
  e.lastLba = entry.U64(kGptLastLbaOffset);
  e.attributes = entry.U64(kGptAttributesOffset);
  for (size_t i = 0; i < kGptNameCharsKept; ++i) {
    const uint16_t c = entry.U16(kGptNameOffset + 2 * i);
    if (c == 0) break;
    e.name.push_back(static_cast<char16_t>(c));
  }
  return e;
}

}  // namespace

uint8_t RawEntryType(const RawMbrEntry& entry) { return entry[kEntryTypeOffset]; }

bool HasBootSignature(ByteView sector) {
  return sector.Contains(kBootSignatureOffset, 2) && sector.U8(kBootSignatureOffset) == 0x55 &&
         sector.U8(kBootSignatureOffset + 1) == 0xAA;
}

uint32_t RawEntryStartingLba(const RawMbrEntry& entry) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    value |= static_cast<uint32_t>(entry[kEntryStartingLbaOffset + i]) << (8 * i);
  }
  return value;
}

bool ParseMbrEntries(ByteView sector, MbrEntries& entries) {
  if (!sector.Contains(kMbrEntriesOffset, kMbrEntryCount * kMbrEntrySize)) return false;
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    for (size_t b = 0; b < kMbrEntrySize; ++b) {
      entries[i][b] = sector.U8(kMbrEntriesOffset + i * kMbrEntrySize + b);
    }
  }
  return true;
}

bool IsProtectiveMbr(const MbrEntries& entries) {
  return RawEntryType(entries[0]) == kProtectiveMbrType &&
         RawEntryStartingLba(entries[0]) == kProtectiveStartLba;
}

bool ParseEbr(ByteView sector, EbrContent& out) {
  MbrEntries entries;
  if (!ParseMbrEntries(sector, entries)) return false;
  out.logical = entries[0];
  out.nextRelative = RawEntryStartingLba(entries[kEbrLinkEntry]);
  return true;
}

uint64_t GptHeader::ArrayReadBytes() const {
  const uint64_t bytes = ArrayBytes();
  return (bytes + kTableSectorSize - 1) / kTableSectorSize * kTableSectorSize;
}

DiskResult ParseGptHeader(ByteView sector, GptHeader& out, const char** reason) {
  if (!sector.Equals(0, kGptSignature, sizeof kGptSignature)) {
    SetReason(reason, "no GPT signature");
    return DiskResult::kNoGptSignature;
  }
  out.headerSize = sector.U32(kGptHeaderSizeOffset);
  out.headerCrc = sector.U32(kGptHeaderCrcOffset);
  out.entriesLba = sector.U64(kGptEntriesLbaOffset);
  out.entryCount = sector.U32(kGptEntryCountOffset);
  out.entrySize = sector.U32(kGptEntrySizeOffset);
  out.entriesCrc = sector.U32(kGptEntriesCrcOffset);
  if (!sector.Ok()) {
    SetReason(reason, "GPT header sector too short");
    return DiskResult::kBadTable;
  }
  if (out.headerSize < kGptMinHeaderSize || out.headerSize > kGptMaxHeaderSize ||
      !sector.Contains(0, out.headerSize)) {
    SetReason(reason, "GPT header size out of range");
    return DiskResult::kBadTable;
  }
  // The CRC covers the header's own bytes with the CRC field taken as zero.
  std::array<std::byte, kGptMaxHeaderSize> copy{};
  std::memcpy(copy.data(), sector.data(), out.headerSize);
  StoreLe32(&copy[kGptHeaderCrcOffset], 0);
  if (Crc32(Bytes(copy.data(), out.headerSize)) != out.headerCrc) {
    SetReason(reason, "GPT header CRC mismatch");
    return DiskResult::kBadTable;
  }
  if (out.entrySize < kGptMinEntrySize || out.entrySize > kGptMaxEntrySize ||
      out.entrySize % kGptMinEntrySize != 0) {
    SetReason(reason, "GPT entry size out of range");
    return DiskResult::kBadTable;
  }
  if (out.ArrayBytes() > kGptMaxArrayBytes) {
    SetReason(reason, "GPT entry array too large");
    return DiskResult::kBadTable;
  }
  return DiskResult::kOk;
}

DiskResult ParseGptEntries(ByteView array, const GptHeader& header,
                           std::vector<PartitionTableEntry>& out, const char** reason) {
  if (!array.Contains(0, header.ArrayBytes())) {
    SetReason(reason, "GPT entry array shorter than its header says");
    return DiskResult::kBadTable;
  }
  const ByteView entries = array.Sub(0, header.ArrayBytes());
  if (Crc32(entries.span()) != header.entriesCrc) {
    SetReason(reason, "GPT entry array CRC mismatch");
    return DiskResult::kBadTable;
  }
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    const uint64_t offset = uint64_t{i} * header.entrySize;
    PartitionTableEntry e = ParseGptEntry(entries.Sub(offset, kGptMinEntrySize));
    if (e.firstLba == 0 && e.lastLba == 0) continue;
    // The sector of the array that holds this entry.
    e.baseSector = header.entriesLba + offset / kTableSectorSize;
    out.push_back(std::move(e));
  }
  return DiskResult::kOk;
}

}  // namespace stow::engine
