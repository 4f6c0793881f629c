// Where the Master File Table itself lies: the $DATA attribute of record 0, the
// attribute list that continues it in extension records when the $MFT is too
// fragmented for one record, and the mapping of a byte range of a stream onto the
// volume through its runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"

namespace stow::engine::ntfs {

// The first unnamed $DATA attribute of record 0.
struct MftData {
  bool nonResident = false;
  uint64_t dataSize = 0;       // data size, or the value length when resident
  uint64_t allocatedSize = 0;  // 0 when resident
  std::vector<DataRun> runs;   // the runs this attribute holds (VCN 0 onwards)
};

enum class MftDataError { kNone, kNoDataAttribute, kBadRunList, kNotFirstExtent };

// Finds and decodes the $MFT's own data in record 0 (fix-ups applied).
[[nodiscard]] MftDataError FindMftData(Bytes record0, MftData& out);

// Attribute list entries (byte offsets within an entry).
inline constexpr size_t kListTypeOffset = 0;        // 32-bit
inline constexpr size_t kListLengthOffset = 4;      // 16-bit
inline constexpr size_t kListNameLengthOffset = 6;  // 8-bit
inline constexpr size_t kListLowestVcnOffset = 8;   // 64-bit
inline constexpr size_t kListReferenceOffset = 16;  // 64-bit file reference
inline constexpr size_t kListInstanceOffset = 24;   // 16-bit
inline constexpr size_t kListMinEntrySize = 26;
inline constexpr uint64_t kReferenceRecordMask = 0x0000FFFFFFFFFFFFull;
// An attribute list is at most a few hundred KiB on a real volume.
inline constexpr uint64_t kMaxAttributeListSize = uint64_t{256} * 1024;

struct AttributeListEntry {
  uint32_t type = 0;
  uint8_t nameLength = 0;
  uint64_t lowestVcn = 0;
  uint64_t recordNumber = 0;  // the low 48 bits of the file reference
  uint16_t instance = 0;
};

// Parses an attribute list value. False when an entry is malformed; the entries
// before it stay in `out`.
[[nodiscard]] bool ParseAttributeList(Bytes value, std::vector<AttributeListEntry>& out);

// The unnamed non-resident attribute of `type` in `record` whose first VCN is
// `firstVcn`.
[[nodiscard]] bool FindExtent(Bytes record, uint32_t type, uint64_t firstVcn, Bytes& attribute);

// A piece of a stream's byte range and where it lies on the volume.
struct VolumeExtent {
  uint64_t streamOffset = 0;
  uint64_t volumeOffset = 0;
  uint64_t length = 0;
};

// The parts of [offset, offset + length) of a stream that its runs place on the
// volume, in stream order. Sparse parts, parts no run covers and parts whose byte
// position would overflow are left out.
void MapStreamRange(const std::vector<DataRun>& runs, uint64_t clusterSize, uint64_t offset,
                    uint64_t length, std::vector<VolumeExtent>& out);

}  // namespace stow::engine::ntfs
