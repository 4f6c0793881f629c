// NTFS file records in memory: the update sequence fix-up, header fields and a
// bounded walk over the attributes.
//
// Nothing here touches a device, so the record cache, the tests and the fuzzers
// run the same code over plain bytes. A record comes from the disk and is hostile:
// every field is checked against the record before it is used, and a malformed
// record ends a walk early instead of being read past its end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/Bytes.h"

namespace stow::engine::ntfs {

// File record header (byte offsets within the record).
inline constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE" read as a 32-bit value
inline constexpr size_t kSignatureOffset = 0;
inline constexpr size_t kUsaOffsetOffset = 4;        // 16-bit offset of the update sequence array
inline constexpr size_t kUsaCountOffset = 6;         // 16-bit entry count, sequence number included
inline constexpr size_t kFirstAttributeOffset = 20;  // 16-bit
inline constexpr size_t kFlagsOffset = 22;           // 16-bit
inline constexpr size_t kBytesInUseOffset = 24;      // 32-bit
inline constexpr size_t kBaseRecordOffset = 32;      // 64-bit file reference
inline constexpr size_t kRecordNumberOffset = 44;    // 32-bit, the record's own number
inline constexpr size_t kRecordHeaderSize = 48;
// Records of the older header layout (NT-era Windows, some drivers) end their
// header at 42 with the update sequence array and have no number field; a header
// carries the field only when the array starts past it.
inline constexpr size_t kOldLayoutUsaOffset = 0x2A;
inline constexpr size_t kNumberedHeaderUsaOffset = 0x30;
inline constexpr uint16_t kRecordInUse = 0x0001;

// Each 512-byte block of a record ends in the sequence number on disk; the real
// last two bytes of the block wait in the update sequence array.
inline constexpr size_t kFixupBlockSize = 512;

// Attribute types used by the engine.
inline constexpr uint32_t kAttrEnd = 0xFFFFFFFF;
inline constexpr uint32_t kAttrStandardInformation = 0x10;
inline constexpr uint32_t kAttrAttributeList = 0x20;
inline constexpr uint32_t kAttrFileName = 0x30;
inline constexpr uint32_t kAttrData = 0x80;

// Attribute header (byte offsets within the attribute).
inline constexpr size_t kAttrTypeOffset = 0;         // 32-bit
inline constexpr size_t kAttrLengthOffset = 4;       // 32-bit
inline constexpr size_t kAttrNonResidentOffset = 8;  // 8-bit, 1 = non-resident
inline constexpr size_t kAttrNameLengthOffset = 9;   // 8-bit, in UTF-16 units
inline constexpr size_t kAttrNameOffsetOffset = 10;  // 16-bit
inline constexpr size_t kAttrFlagsOffset = 12;       // 16-bit
inline constexpr size_t kAttrInstanceOffset = 14;    // 16-bit
inline constexpr size_t kValueLengthOffset = 16;     // resident: 32-bit
inline constexpr size_t kValueOffsetOffset = 20;     // resident: 16-bit
inline constexpr size_t kResidentHeaderSize = 24;
inline constexpr size_t kFirstVcnOffset = 16;         // non-resident: 64-bit
inline constexpr size_t kLastVcnOffset = 24;          // non-resident: 64-bit
inline constexpr size_t kRunListOffsetOffset = 32;    // non-resident: 16-bit
inline constexpr size_t kAllocatedSizeOffset = 40;    // non-resident: 64-bit
inline constexpr size_t kDataSizeOffset = 48;         // non-resident: 64-bit
inline constexpr size_t kInitializedSizeOffset = 56;  // non-resident: 64-bit
inline constexpr size_t kNonResidentHeaderSize = 64;

// True when the update sequence array lies inside the record and has one entry
// for the sequence number plus one per 512-byte block.
bool UsaFits(Bytes record);

// Puts the saved block ends back in place (a record read from disk). False, with
// the record untouched, when the array does not fit. The sequence number is not
// compared; applying the fix-up twice leaves the same bytes.
[[nodiscard]] bool ApplyFixup(MutableBytes record);

// Saves every block end into the array and puts the sequence number in its place
// (before a record is written back). False, untouched, when the array does not fit.
[[nodiscard]] bool UndoFixup(MutableBytes record);

// As UndoFixup, but leaves alone each block whose end already holds the sequence
// number, so that a record already in on-disk form passes through unchanged and a
// record in fixed-up form reaches its on-disk form.
[[nodiscard]] bool UndoFixupWhereApplied(MutableBytes record);

// Like ApplyFixup, but first checks that every block ends in the sequence number
// (a record written whole); false, untouched, when the array does not fit or a
// block end differs.
[[nodiscard]] bool ApplyFixupChecked(MutableBytes record);

// Header fields; 0 when the record is too short to hold them.
bool HasFileSignature(Bytes record);
uint16_t UsaOffset(Bytes record);
// True when the header has the record-number field (its array starts at 0x30 or later).
bool HasRecordNumberField(Bytes record);
// The number field; read it only where HasRecordNumberField holds.
uint32_t RecordNumberField(Bytes record);
// A record is identified by its position in the $MFT: true when the header has
// no number field, or its field gives `position` (the field holds 32 bits).
bool RecordNumberAgrees(Bytes record, uint64_t position);
uint32_t BytesInUse(Bytes record);
uint16_t RecordFlags(Bytes record);
bool RecordInUse(Bytes record);

// One attribute found by the walk. `bytes` is the attribute exactly as long as its
// length field says, and lies inside the record.
struct Attribute {
  size_t offset = 0;
  uint32_t type = 0;
  uint32_t length = 0;
  bool nonResident = false;
  uint8_t nameLength = 0;
  uint16_t instance = 0;
  Bytes bytes;
};

// How a walk ended.
enum class WalkEnd {
  kInProgress,
  kEndMarker,     // the 0xFFFFFFFF marker: a well-formed record
  kRecordEnd,     // reached bytes in use or the record's end without a marker
  kZeroLength,    // an attribute of length 0
  kBadAttribute,  // an attribute running past the record, too short, or with a bad name
  kBadHeader,     // the first-attribute offset lies inside the header or past the record
};

// Walks the attributes of a record, bounded by the record's end, its bytes in use
// and each attribute's length:
//   AttributeWalker walk(record);
//   for (Attribute a; walk.Next(a);) { ... }
//   if (walk.End() != WalkEnd::kEndMarker) { ...malformed... }
class AttributeWalker {
 public:
  explicit AttributeWalker(Bytes record);
  [[nodiscard]] bool Next(Attribute& out);
  WalkEnd End() const { return end_; }

 private:
  bool Stop(WalkEnd why);

  ByteView record_;
  size_t limit_ = 0;
  size_t position_ = 0;
  WalkEnd end_ = WalkEnd::kInProgress;
};

const char* WalkEndText(WalkEnd end);

// The fields of a non-resident attribute header.
struct NonResidentHeader {
  uint64_t firstVcn = 0;
  uint64_t lastVcn = 0;
  uint16_t runListOffset = 0;
  uint64_t allocatedSize = 0;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
};
// False when the attribute is resident or too short for the header.
[[nodiscard]] bool ReadNonResidentHeader(Bytes attribute, NonResidentHeader& out);

// The value of a resident attribute; false when it is non-resident or the value
// does not lie inside the attribute.
[[nodiscard]] bool ResidentValue(Bytes attribute, Bytes& value);

}  // namespace stow::engine::ntfs
