#include "engine/ntfs/MftLayout.h"

#include <algorithm>

#include "engine/ntfs/FileRecord.h"

namespace stow::engine::ntfs {

MftDataError FindMftData(Bytes record0, MftData& out) {
  AttributeWalker walk(record0);
  for (Attribute a; walk.Next(a);) {
    if (a.type != kAttrData || a.nameLength != 0) continue;
    out = MftData{};
    out.nonResident = a.nonResident;
    if (!a.nonResident) {
      Bytes value;
      if (!ResidentValue(a.bytes, value)) return MftDataError::kNoDataAttribute;
      out.dataSize = value.size();
      return MftDataError::kNone;
    }
    NonResidentHeader header;
    if (!ReadNonResidentHeader(a.bytes, header)) return MftDataError::kNoDataAttribute;
    if (header.firstVcn != 0) return MftDataError::kNotFirstExtent;
    out.dataSize = header.dataSize;
    out.allocatedSize = header.allocatedSize;
    if (DecodeAttributeRuns(a.bytes, out.runs) != RunListError::kNone) {
      return MftDataError::kBadRunList;
    }
    return MftDataError::kNone;
  }
  return MftDataError::kNoDataAttribute;
}

bool ParseAttributeList(Bytes value, std::vector<AttributeListEntry>& out) {
  const ByteView list(value);
  size_t position = 0;
  while (position < list.size()) {
    if (!list.Contains(position, kListMinEntrySize)) return false;
    const uint16_t length = list.U16(position + kListLengthOffset);
    if (length < kListMinEntrySize || !list.Contains(position, length)) return false;
    AttributeListEntry entry;
    entry.type = list.U32(position + kListTypeOffset);
    entry.nameLength = list.U8(position + kListNameLengthOffset);
    entry.lowestVcn = list.U64(position + kListLowestVcnOffset);
    entry.recordNumber = list.U64(position + kListReferenceOffset) & kReferenceRecordMask;
    entry.instance = list.U16(position + kListInstanceOffset);
    out.push_back(entry);
    position += length;  // at least 26 bytes: the loop ends within size / 26 steps
  }
  return true;
}

bool FindExtent(Bytes record, uint32_t type, uint64_t firstVcn, Bytes& attribute) {
  AttributeWalker walk(record);
  for (Attribute a; walk.Next(a);) {
    if (a.type != type || a.nameLength != 0 || !a.nonResident) continue;
    NonResidentHeader header;
    if (ReadNonResidentHeader(a.bytes, header) && header.firstVcn == firstVcn) {
      attribute = a.bytes;
      return true;
    }
  }
  return false;
}

void MapStreamRange(const std::vector<DataRun>& runs, uint64_t clusterSize, uint64_t offset,
                    uint64_t length, std::vector<VolumeExtent>& out) {
  if (clusterSize == 0 || length == 0 || length > UINT64_MAX - offset) return;
  const uint64_t end = offset + length;
  for (const DataRun& run : runs) {
    uint64_t runStart = 0;
    uint64_t runBytes = 0;
    uint64_t volumeStart = 0;
    if (run.sparse || __builtin_mul_overflow(run.vcn, clusterSize, &runStart) ||
        __builtin_mul_overflow(run.length, clusterSize, &runBytes) ||
        __builtin_mul_overflow(run.lcn, clusterSize, &volumeStart) ||
        runBytes > UINT64_MAX - runStart || runBytes > UINT64_MAX - volumeStart) {
      continue;
    }
    const uint64_t first = std::max(offset, runStart);
    const uint64_t last = std::min(end, runStart + runBytes);
    if (first >= last) continue;
    out.push_back({first, volumeStart + (first - runStart), last - first});
  }
  std::sort(out.begin(), out.end(), [](const VolumeExtent& a, const VolumeExtent& b) {
    return a.streamOffset < b.streamOffset;
  });
}

}  // namespace stow::engine::ntfs
