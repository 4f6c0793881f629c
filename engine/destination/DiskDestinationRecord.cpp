#include "engine/destination/DiskDestinationRecord.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "support/Enums.h"

namespace stow::engine {
namespace {

constexpr size_t kAttrAlignment = 8;
constexpr size_t kEndMarkerSize = 8;  // the 0xFFFFFFFF type and 4 bytes after it
constexpr unsigned kOffsetNibbleShift = 4;
constexpr uint8_t kTopBit = 0x80;

size_t AlignUp(size_t n) { return (n + kAttrAlignment - 1) & ~(kAttrAlignment - 1); }
size_t AlignDown(size_t n) { return n & ~(kAttrAlignment - 1); }

size_t UnsignedBytes(uint64_t v) {
  size_t n = 1;
  while (n < 8 && (v >> (8 * n)) != 0) ++n;
  return n;
}

// The fewest bytes whose sign-extended value is `v`.
size_t SignedBytes(int64_t v) {
  for (size_t n = 1; n < 8; ++n) {
    const int64_t low = -(int64_t{1} << (8 * n - 1));
    const int64_t high = (int64_t{1} << (8 * n - 1)) - 1;
    if (v >= low && v <= high) return n;
  }
  return 8;
}

// The record being rebuilt: a 1,024-byte image filled from the front.
class RecordImage {
 public:
  explicit RecordImage(Bytes record, size_t firstAttribute)
      : bytes_(kFileRecordSize, std::byte{0}), position_(firstAttribute) {
    std::memcpy(bytes_.data(), record.data(), firstAttribute);
  }
  bool Append(Bytes piece) {
    if (!RangeFits(bytes_.size(), position_, piece.size())) return false;
    std::memcpy(bytes_.data() + position_, piece.data(), piece.size());
    position_ += piece.size();
    return true;
  }
  // Reserves `length` zero bytes and returns where they start, or nullptr.
  std::byte* Reserve(size_t length) {
    if (!RangeFits(bytes_.size(), position_, length)) return nullptr;
    std::byte* at = bytes_.data() + position_;
    position_ += length;
    return at;
  }
  // Writes the end marker and bytes in use; false when they pass `limit`.
  bool Close(size_t limit) {
    if (!RangeFits(limit, position_, kEndMarkerSize)) return false;
    StoreLe32(&bytes_[position_], ntfs::kAttrEnd);
    StoreLe32(&bytes_[ntfs::kBytesInUseOffset], static_cast<uint32_t>(position_ + kEndMarkerSize));
    return true;
  }
  std::vector<std::byte>& Image() { return bytes_; }

 private:
  std::vector<std::byte> bytes_;
  size_t position_;
};

// What every rebuild checks first: the record's size, its header and the
// bytes it may use.
bool RecordFrame(Bytes record, size_t& firstAttribute, size_t& limit) {
  if (record.size() != kFileRecordSize) return false;
  const ByteView view(record);
  firstAttribute = view.U16(ntfs::kFirstAttributeOffset);
  const uint32_t allocated = view.U32(kBytesAllocatedOffset);
  limit = std::min<size_t>(record.size(), allocated);
  return firstAttribute >= ntfs::kRecordHeaderSize && firstAttribute < limit;
}

bool BuildNewRunList(const ntfs::Attribute& a, const RunListChange& change,
                     std::vector<std::byte>& runs, size_t& runListOffset) {
  ntfs::NonResidentHeader header;
  if (!ntfs::ReadNonResidentHeader(a.bytes, header)) return false;
  runListOffset = header.runListOffset;
  if (runListOffset < ntfs::kNonResidentHeaderSize || runListOffset > a.length) return false;
  int64_t offset = 0;
  if (change.firstCluster > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
    return false;
  }
  const auto first = static_cast<int64_t>(change.firstCluster);
  if (change.append) {
    const Bytes existing = a.bytes.subspan(runListOffset);
    int64_t sum = 0;
    size_t size = 0;
    if (!SumRunOffsets(existing, sum, size)) return false;
    runs.assign(existing.begin(), existing.begin() + static_cast<std::ptrdiff_t>(size));
    if (first != 0) {
      if (__builtin_sub_overflow(first, sum, &offset)) return false;
      // A relative offset of 0 would read back as a sparse run.
      if (offset == 0) return false;
    }
  } else {
    runs.clear();
    offset = first;
  }
  EncodedRun run;
  if (!EncodeRun(offset, change.clusterCount, run)) return false;
  runs.insert(runs.end(), run.bytes.begin(),
              run.bytes.begin() + static_cast<std::ptrdiff_t>(run.size));
  return true;
}

void StoreSizes(std::byte* attribute, uint64_t allocated, uint64_t data, uint64_t initialized) {
  StoreLe64(attribute + ntfs::kAllocatedSizeOffset, allocated);
  StoreLe64(attribute + ntfs::kDataSizeOffset, data);
  StoreLe64(attribute + ntfs::kInitializedSizeOffset, initialized);
}

RecordEdit AppendChangedAttribute(RecordImage& image, const ntfs::Attribute& a,
                                  const RunListChange& change) {
  if (!a.nonResident) return RecordEdit::kResident;
  std::vector<std::byte> runs;
  size_t runListOffset = 0;
  if (!BuildNewRunList(a, change, runs, runListOffset)) return RecordEdit::kMalformed;
  // At least one zero byte ends the list; the attribute stays 8-byte aligned.
  const size_t length = AlignDown(runListOffset + runs.size() + kAttrAlignment);
  std::byte* at = image.Reserve(length);
  if (at == nullptr) return RecordEdit::kDoesNotFit;
  std::memcpy(at, a.bytes.data(), runListOffset);
  std::memcpy(at + runListOffset, runs.data(), runs.size());
  StoreLe32(at + ntfs::kAttrLengthOffset, static_cast<uint32_t>(length));
  if (change.setSizes && !change.append) {
    const uint64_t firstVcn = LoadLe64(at + ntfs::kFirstVcnOffset);
    StoreLe64(at + ntfs::kLastVcnOffset, firstVcn + change.clusterCount - 1);
    StoreSizes(at, change.clusterCount * change.clusterBytes, change.dataSize,
               change.initializedSize);
  }
  // What reaches the disk must read back: a hostile first VCN or an old run
  // list near the limits of cluster numbers could make the new list unreadable.
  std::vector<ntfs::DataRun> check;
  if (ntfs::DecodeAttributeRuns(Bytes(at, length), check) != ntfs::RunListError::kNone) {
    return RecordEdit::kMalformed;
  }
  return RecordEdit::kOk;
}

}  // namespace

bool EncodeRun(int64_t offset, uint64_t length, EncodedRun& out) {
  out = EncodedRun{};
  if (length == 0) return false;
  size_t lengthBytes = UnsignedBytes(length);
  const bool lengthNeedsPad = ((length >> (8 * (lengthBytes - 1))) & kTopBit) != 0;
  if (lengthNeedsPad) ++lengthBytes;
  if (lengthBytes > ntfs::kMaxRunFieldBytes) return false;
  const size_t offsetBytes = offset == 0 ? 0 : SignedBytes(offset);
  out.bytes[0] = static_cast<std::byte>(lengthBytes | (offsetBytes << kOffsetNibbleShift));
  for (size_t i = 0; i < lengthBytes; ++i) {
    out.bytes[1 + i] = static_cast<std::byte>(i < 8 ? (length >> (8 * i)) & 0xFF : 0);
  }
  const auto bits = static_cast<uint64_t>(offset);
  for (size_t i = 0; i < offsetBytes; ++i) {
    out.bytes[1 + lengthBytes + i] = static_cast<std::byte>((bits >> (8 * i)) & 0xFF);
  }
  out.size = 1 + lengthBytes + offsetBytes;
  return true;
}

constexpr EnumLabel<RecordEdit> kRecordEditLabels[] = {
    {RecordEdit::kOk, "changed"},
    {RecordEdit::kResident, "the attribute is resident"},
    {RecordEdit::kNoAttribute, "the record has no attribute with that instance"},
    {RecordEdit::kMalformed, "the record, the attribute or its run list is damaged"},
    {RecordEdit::kDoesNotFit, "the run list no longer fits in the file record"},
    {RecordEdit::kNoRecord, "the file record cannot be fetched"},
};

const char* RecordEditText(RecordEdit result) { return LabelOf(kRecordEditLabels, result); }

bool SumRunOffsets(Bytes list, int64_t& sum, size_t& size) {
  sum = 0;
  size = 0;
  for (size_t count = 0; count <= ntfs::kMaxRunsPerList; ++count) {
    ntfs::RunHeader run;
    const ntfs::RunStatus status = ntfs::DecodeRunHeader(list, size, run);
    if (status == ntfs::RunStatus::kEnd) return true;
    if (status != ntfs::RunStatus::kRun) return false;
    if (__builtin_add_overflow(sum, run.offset, &sum)) return false;
    size += run.size;
  }
  return false;
}

RecordEdit ChangeRunList(Bytes record, const RunListChange& change, std::vector<std::byte>& out) {
  out.clear();
  size_t first = 0;
  size_t limit = 0;
  if (!RecordFrame(record, first, limit)) return RecordEdit::kMalformed;
  RecordImage image(record, first);
  bool found = false;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance != change.instance) {
      if (!image.Append(a.bytes)) return RecordEdit::kDoesNotFit;
      continue;
    }
    if (found) return RecordEdit::kMalformed;  // two attributes with one instance
    found = true;
    const RecordEdit edit = AppendChangedAttribute(image, a, change);
    if (edit != RecordEdit::kOk) return edit;
  }
  if (walk.End() != ntfs::WalkEnd::kEndMarker) return RecordEdit::kMalformed;
  if (!found) return RecordEdit::kNoAttribute;
  if (!image.Close(limit)) return RecordEdit::kDoesNotFit;
  out = std::move(image.Image());
  return RecordEdit::kOk;
}

RecordEdit SetNonResidentSizes(MutableBytes record, uint16_t instance, uint64_t allocatedSize,
                               uint64_t dataSize, uint64_t initializedSize) {
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance != instance) continue;
    if (!a.nonResident) return RecordEdit::kResident;
    StoreSizes(record.data() + a.offset, allocatedSize, dataSize, initializedSize);
    return RecordEdit::kOk;
  }
  return walk.End() == ntfs::WalkEnd::kEndMarker ? RecordEdit::kNoAttribute
                                                 : RecordEdit::kMalformed;
}

RecordEdit SetResidentValue(Bytes record, uint16_t instance, Bytes value,
                            std::vector<std::byte>& out) {
  out.clear();
  size_t first = 0;
  size_t limit = 0;
  if (!RecordFrame(record, first, limit)) return RecordEdit::kMalformed;
  RecordImage image(record, first);
  bool found = false;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance != instance) {
      if (!image.Append(a.bytes)) return RecordEdit::kDoesNotFit;
      continue;
    }
    if (found) return RecordEdit::kMalformed;
    found = true;
    if (a.nonResident) return RecordEdit::kMalformed;
    const ByteView attr(a.bytes);
    const size_t valueOffset = attr.U16(ntfs::kValueOffsetOffset);
    if (valueOffset < ntfs::kResidentHeaderSize || valueOffset > a.length) {
      return RecordEdit::kMalformed;
    }
    const size_t length = AlignUp(valueOffset + value.size());
    std::byte* at = image.Reserve(length);
    if (at == nullptr) return RecordEdit::kDoesNotFit;
    std::memcpy(at, a.bytes.data(), valueOffset);
    if (!value.empty()) std::memcpy(at + valueOffset, value.data(), value.size());
    StoreLe32(at + ntfs::kAttrLengthOffset, static_cast<uint32_t>(length));
    StoreLe32(at + ntfs::kValueLengthOffset, static_cast<uint32_t>(value.size()));
  }
  if (walk.End() != ntfs::WalkEnd::kEndMarker) return RecordEdit::kMalformed;
  if (!found) return RecordEdit::kNoAttribute;
  if (!image.Close(limit)) return RecordEdit::kDoesNotFit;
  out = std::move(image.Image());
  return RecordEdit::kOk;
}

}  // namespace stow::engine
