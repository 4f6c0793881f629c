#include "engine/ntfs/FileRecord.h"

#include <algorithm>

#include "support/Enums.h"

namespace stow::engine::ntfs {
namespace {

constexpr size_t kUsaEntrySize = 2;
constexpr size_t kBlockEndSize = 2;
// Name length counts UTF-16 units.
constexpr size_t kNameUnitSize = 2;

struct Usa {
  size_t offset = 0;
  size_t count = 0;
};

bool LocateUsa(Bytes record, Usa& usa) {
  const size_t size = record.size();
  if (size == 0 || size % kFixupBlockSize != 0 || size < kRecordHeaderSize) return false;
  const ByteView view(record);
  usa.offset = view.U16(kUsaOffsetOffset);
  usa.count = view.U16(kUsaCountOffset);
  if (usa.count != size / kFixupBlockSize + 1) return false;
  // The array must also end before the first position it patches, or applying it
  // would rewrite the array itself and stop being repeatable.
  return RangeFits(kFixupBlockSize - kBlockEndSize, usa.offset, kUsaEntrySize * usa.count);
}

size_t BlockEnd(size_t block) { return (block + 1) * kFixupBlockSize - kBlockEndSize; }
size_t UsaEntry(const Usa& usa, size_t index) { return usa.offset + kUsaEntrySize * index; }

void Copy2(MutableBytes record, size_t to, size_t from) {
  std::copy_n(record.begin() + static_cast<std::ptrdiff_t>(from), kBlockEndSize,
              record.begin() + static_cast<std::ptrdiff_t>(to));
}

bool Equal2(Bytes record, size_t a, size_t b) {
  return record[a] == record[b] && record[a + 1] == record[b + 1];
}

}  // namespace

bool UsaFits(Bytes record) {
  Usa usa;
  return LocateUsa(record, usa);
}

bool ApplyFixup(MutableBytes record) {
  Usa usa;
  if (!LocateUsa(record, usa)) return false;
  for (size_t i = 1; i < usa.count; ++i) Copy2(record, BlockEnd(i - 1), UsaEntry(usa, i));
  return true;
}

bool UndoFixup(MutableBytes record) {
  Usa usa;
  if (!LocateUsa(record, usa)) return false;
  for (size_t i = 1; i < usa.count; ++i) {
    Copy2(record, UsaEntry(usa, i), BlockEnd(i - 1));
    Copy2(record, BlockEnd(i - 1), UsaEntry(usa, 0));
  }
  return true;
}

bool UndoFixupWhereApplied(MutableBytes record) {
  Usa usa;
  if (!LocateUsa(record, usa)) return false;
  for (size_t i = 1; i < usa.count; ++i) {
    if (Equal2(record, BlockEnd(i - 1), UsaEntry(usa, 0))) continue;
    Copy2(record, UsaEntry(usa, i), BlockEnd(i - 1));
    Copy2(record, BlockEnd(i - 1), UsaEntry(usa, 0));
  }
  return true;
}

bool ApplyFixupChecked(MutableBytes record) {
  Usa usa;
  if (!LocateUsa(record, usa)) return false;
  for (size_t i = 1; i < usa.count; ++i) {
    if (!Equal2(record, BlockEnd(i - 1), UsaEntry(usa, 0))) return false;
  }
  return ApplyFixup(record);
}

bool HasFileSignature(Bytes record) {
  const ByteView view(record);
  return view.Contains(kSignatureOffset, 4) && view.U32(kSignatureOffset) == kFileSignature;
}

uint16_t UsaOffset(Bytes record) { return ByteView(record).U16(kUsaOffsetOffset); }
bool HasRecordNumberField(Bytes record) {
  return UsaOffset(record) >= kNumberedHeaderUsaOffset &&
         ByteView(record).Contains(kRecordNumberOffset, sizeof(uint32_t));
}
uint32_t RecordNumberField(Bytes record) { return ByteView(record).U32(kRecordNumberOffset); }
bool RecordNumberAgrees(Bytes record, uint64_t position) {
  return !HasRecordNumberField(record) ||
         RecordNumberField(record) == static_cast<uint32_t>(position & UINT32_MAX);
}
uint32_t BytesInUse(Bytes record) { return ByteView(record).U32(kBytesInUseOffset); }
uint16_t RecordFlags(Bytes record) { return ByteView(record).U16(kFlagsOffset); }
bool RecordInUse(Bytes record) { return (RecordFlags(record) & kRecordInUse) != 0; }

AttributeWalker::AttributeWalker(Bytes record) : record_(record) {
  const ByteView view(record);
  if (!view.Contains(0, kRecordHeaderSize)) {
    end_ = WalkEnd::kBadHeader;
    return;
  }
  // Bytes in use bounds the walk as well as the record's size: whatever lies past it
  // is left over from an earlier use of the record.
  limit_ = static_cast<size_t>(std::min<uint64_t>(record.size(), view.U32(kBytesInUseOffset)));
  position_ = view.U16(kFirstAttributeOffset);
  if (position_ < kRecordHeaderSize || position_ > limit_) {
    end_ = WalkEnd::kBadHeader;
  }
}

bool AttributeWalker::Stop(WalkEnd why) {
  end_ = why;
  return false;
}

bool AttributeWalker::Next(Attribute& out) {
  if (end_ != WalkEnd::kInProgress) return false;
  const ByteView area = record_.Sub(0, limit_);
  if (!area.Contains(position_, sizeof(uint32_t))) return Stop(WalkEnd::kRecordEnd);
  const uint32_t type = area.U32(position_ + kAttrTypeOffset);
  if (type == kAttrEnd) return Stop(WalkEnd::kEndMarker);
  if (!area.Contains(position_, kAttrLengthOffset + sizeof(uint32_t))) {
    return Stop(WalkEnd::kRecordEnd);
  }
  const uint32_t length = area.U32(position_ + kAttrLengthOffset);
  if (length == 0) return Stop(WalkEnd::kZeroLength);
  if (!area.Contains(position_, length) || length < kResidentHeaderSize) {
    return Stop(WalkEnd::kBadAttribute);
  }
  const ByteView attr = area.Sub(position_, length);
  const bool nonResident = attr.U8(kAttrNonResidentOffset) != 0;
  const uint8_t nameLength = attr.U8(kAttrNameLengthOffset);
  if (nonResident && length < kNonResidentHeaderSize) return Stop(WalkEnd::kBadAttribute);
  if (nameLength != 0 &&
      !attr.Contains(attr.U16(kAttrNameOffsetOffset), size_t{nameLength} * kNameUnitSize)) {
    return Stop(WalkEnd::kBadAttribute);
  }
  out.offset = position_;
  out.type = type;
  out.length = length;
  out.nonResident = nonResident;
  out.nameLength = nameLength;
  out.instance = attr.U16(kAttrInstanceOffset);
  out.bytes = attr.span();
  position_ += length;  // length >= 24, so the walk always moves on
  return true;
}

constexpr EnumLabel<WalkEnd> kWalkEndLabels[] = {
    {WalkEnd::kInProgress, "walk not finished"},
    {WalkEnd::kEndMarker, "end marker"},
    {WalkEnd::kRecordEnd, "attributes run to the end of the record without an end marker"},
    {WalkEnd::kZeroLength, "an attribute has length 0"},
    {WalkEnd::kBadAttribute, "an attribute runs past the record or has a malformed header"},
    {WalkEnd::kBadHeader, "the first-attribute offset lies inside the header or past the record"},
};

const char* WalkEndText(WalkEnd end) { return LabelOf(kWalkEndLabels, end); }

bool ReadNonResidentHeader(Bytes attribute, NonResidentHeader& out) {
  const ByteView attr(attribute);
  if (!attr.Contains(0, kNonResidentHeaderSize) || attr.U8(kAttrNonResidentOffset) == 0) {
    return false;
  }
  out.firstVcn = attr.U64(kFirstVcnOffset);
  out.lastVcn = attr.U64(kLastVcnOffset);
  out.runListOffset = attr.U16(kRunListOffsetOffset);
  out.allocatedSize = attr.U64(kAllocatedSizeOffset);
  out.dataSize = attr.U64(kDataSizeOffset);
  out.initializedSize = attr.U64(kInitializedSizeOffset);
  return true;
}

bool ResidentValue(Bytes attribute, Bytes& value) {
  const ByteView attr(attribute);
  if (!attr.Contains(0, kResidentHeaderSize) || attr.U8(kAttrNonResidentOffset) != 0) return false;
  const uint32_t length = attr.U32(kValueLengthOffset);
  const uint16_t offset = attr.U16(kValueOffsetOffset);
  if (!attr.Contains(offset, length)) return false;
  value = attr.Sub(offset, length).span();
  return true;
}

}  // namespace stow::engine::ntfs
