// Parsing of MBR, EBR and GPT sectors, kept free of any device access so that
// the table walk (DiskPartitions.h) and the fuzzer run the same code over plain bytes.
//
// Every value comes from the disk and is treated as hostile: each function checks
// its own bounds and limits and reports a rejection instead of trusting a field.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/core/DiskResult.h"
#include "engine/disk/PartitionTable.h"
#include "support/Bytes.h"

namespace stow::engine {

// The table code addresses 512-byte sectors whatever the device reports.
inline constexpr uint32_t kTableSectorSize = 512;
inline constexpr size_t kMbrEntryCount = 4;
inline constexpr uint64_t kGptHeaderLba = 1;
// Ceiling on logical partitions followed through an EBR chain; no real disk comes
// near it, and it bounds the walk on a hostile table.
inline constexpr uint32_t kMaxLogicalEntries = 128;

// GPT header limits. The header must at least hold the fields read here and fit in
// its sector; an entry is at least 128 bytes, a multiple of 128, and the array is
// capped so that a hostile count cannot make the reader allocate gigabytes.
inline constexpr uint32_t kGptMinHeaderSize = 92;
inline constexpr uint32_t kGptMaxHeaderSize = kTableSectorSize;
inline constexpr uint32_t kGptMinEntrySize = 128;
inline constexpr uint32_t kGptMaxEntrySize = 4096;
inline constexpr uint64_t kGptMaxArrayBytes = uint64_t{4} * 1024 * 1024;

using RawMbrEntry = std::array<uint8_t, kMbrEntrySize>;
using MbrEntries = std::array<RawMbrEntry, kMbrEntryCount>;

uint8_t RawEntryType(const RawMbrEntry& entry);
uint32_t RawEntryStartingLba(const RawMbrEntry& entry);

// An MBR or EBR sector ends with the bytes 0x55 0xAA; without them the sector
// holds no partition table, whatever its entry bytes say.
inline constexpr size_t kBootSignatureOffset = 510;
bool HasBootSignature(ByteView sector);

// The four entries at byte 446 of an MBR or EBR sector; false when the sector is
// too short to hold them.
[[nodiscard]] bool ParseMbrEntries(ByteView sector, MbrEntries& entries);

// A GPT disk announces itself by a first entry of type 0xEE starting at LBA 1.
bool IsProtectiveMbr(const MbrEntries& entries);

// What one EBR holds: the logical partition's entry (relative to the EBR's own
// sector) and the next EBR's position relative to the extended partition's start
// (0 ends the chain).
struct EbrContent {
  RawMbrEntry logical{};
  uint32_t nextRelative = 0;
};
[[nodiscard]] bool ParseEbr(ByteView sector, EbrContent& out);

// The fields of a GPT header that the reader uses.
struct GptHeader {
  uint32_t headerSize = 0;
  uint32_t headerCrc = 0;
  uint64_t entriesLba = 0;
  uint32_t entryCount = 0;
  uint32_t entrySize = 0;
  uint32_t entriesCrc = 0;

  // Bytes of the entry array that carry entries (count × size).
  uint64_t ArrayBytes() const { return uint64_t{entryCount} * entrySize; }
  // The array rounded up to whole 512-byte sectors, as it is read.
  uint64_t ArrayReadBytes() const;
};

// Parses and checks the header sector: kOk; kNoGptSignature without "EFI PART";
// kBadTable for a header size, entry size or entry count out of bounds, or a
// header CRC mismatch. `reason` receives a short text for the log on a rejection.
[[nodiscard]] DiskResult ParseGptHeader(ByteView sector, GptHeader& out,
                                        const char** reason = nullptr);

// Checks the entry array's CRC and appends every entry whose first or last LBA is
// nonzero as kind 3: kOk, or kBadTable (array too short, CRC mismatch).
[[nodiscard]] DiskResult ParseGptEntries(ByteView array, const GptHeader& header,
                                         std::vector<PartitionTableEntry>& out,
                                         const char** reason = nullptr);

}  // namespace stow::engine
