#include "engine/ntfs/Index.h"

#include "engine/ntfs/FileRecord.h"
#include "support/Enums.h"

namespace stow::engine::ntfs {
namespace {

constexpr size_t kMinEntrySize = kEntryKeyOffset;  // reference, lengths and flags
constexpr size_t kEntryAlignment = 8;
constexpr size_t kUnitSize = 2;
constexpr uint32_t kFileNameType = 0x30;
constexpr unsigned kSmallVcnShift = 9;  // 512-byte units
constexpr char16_t kAsciiLowerA = u'a';
constexpr char16_t kAsciiLowerZ = u'z';
constexpr char16_t kAsciiCaseDistance = u'a' - u'A';

bool PowerOfTwo(uint32_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The $FILE_NAME key of an entry: its name must lie inside the key.
IndexError ParseFileNameKey(ByteView key, IndexEntry& entry) {
  if (key.size() < kFileNameNameOffset) return IndexError::kBadKey;
  const size_t units = key.U8(kFileNameLengthOffset);
  if (!key.Contains(kFileNameNameOffset, units * kUnitSize)) return IndexError::kBadKey;
  entry.fileAttributes = key.U32(kFileNameAttributesOffset);
  entry.nameSpace = key.U8(kFileNameSpaceOffset);
  entry.name.resize(units);
  for (size_t i = 0; i < units; ++i) {
    entry.name[i] = static_cast<char16_t>(key.U16(kFileNameNameOffset + kUnitSize * i));
  }
  return IndexError::kNone;
}

IndexError ParseEntry(ByteView node, size_t at, size_t end, IndexEntry& entry, size_t& length) {
  if (!RangeFits(end, at, kMinEntrySize)) return IndexError::kBadEntry;
  length = node.U16(at + kEntryLengthOffset);
  const size_t keyLength = node.U16(at + kEntryKeyLengthOffset);
  entry.flags = node.U16(at + kEntryFlagsOffset);
  entry.last = (entry.flags & kEntryLast) != 0;
  entry.hasSubnode = (entry.flags & kEntryHasSubnode) != 0;
  const size_t minimum = kMinEntrySize + (entry.hasSubnode ? kEntrySubnodeSize : 0);
  if (length < minimum || length % kEntryAlignment != 0 || !RangeFits(end, at, length)) {
    return IndexError::kBadEntry;
  }
  const uint64_t reference = node.U64(at + kEntryReferenceOffset);
  entry.recordNumber = reference & kRecordOfReference;
  entry.sequence = static_cast<uint16_t>(reference >> kReferenceRecordBits);
  if (entry.hasSubnode) entry.subnodeVcn = node.U64(at + length - kEntrySubnodeSize);
  if (entry.last) return IndexError::kNone;  // the end entry carries no key
  const size_t keyRoom = length - minimum;
  if (keyLength > keyRoom) return IndexError::kBadEntry;
  return ParseFileNameKey(node.Sub(at + kEntryKeyOffset, keyLength), entry);
}

}  // namespace

constexpr EnumLabel<IndexError> kIndexErrorLabels[] = {
    {IndexError::kNone, "no error"},
    {IndexError::kTooShort, "the index node is too short for its headers"},
    {IndexError::kBadNode, "the node's entries lie outside the node"},
    {IndexError::kBadEntry, "an index entry runs past its node or is malformed"},
    {IndexError::kBadKey, "an index entry's file name does not fit its key"},
    {IndexError::kNoLastEntry, "the index node has no end entry"},
    {IndexError::kBadSignature, "an index block without the \"INDX\" signature"},
    {IndexError::kBadFixup, "an index block's update sequence does not fit the block"},
    {IndexError::kBadBlockSize,
     "the index block size is not a power of two between 512 bytes and 64 KiB"},
    {IndexError::kNotFileNames, "the index does not index file names"},
};

const char* IndexErrorText(IndexError error) { return LabelOf(kIndexErrorLabels, error); }

IndexError ParseIndexNode(Bytes area, size_t headerOffset, std::vector<IndexEntry>& out) {
  const ByteView view(area);
  if (!view.Contains(headerOffset, kNodeHeaderSize)) return IndexError::kTooShort;
  const uint64_t first = headerOffset + uint64_t{view.U32(headerOffset + kNodeEntriesOffset)};
  const uint64_t end = headerOffset + uint64_t{view.U32(headerOffset + kNodeIndexLengthOffset)};
  if (first < headerOffset + kNodeHeaderSize || end < first || end > area.size()) {
    return IndexError::kBadNode;
  }
  // Each entry is at least 16 bytes long, which bounds the walk by the node.
  for (size_t at = static_cast<size_t>(first); at < end;) {
    IndexEntry entry;
    size_t length = 0;
    const IndexError error = ParseEntry(view, at, static_cast<size_t>(end), entry, length);
    if (error != IndexError::kNone) return error;
    const bool last = entry.last;
    out.push_back(std::move(entry));
    if (last) return IndexError::kNone;
    at += length;
  }
  return IndexError::kNoLastEntry;
}

IndexError ParseIndexRoot(Bytes value, IndexRoot& root, std::vector<IndexEntry>& out) {
  const ByteView view(value);
  if (!view.Contains(0, kRootNodeHeaderOffset + kNodeHeaderSize)) return IndexError::kTooShort;
  root.indexedType = view.U32(kRootIndexedTypeOffset);
  root.blockSize = view.U32(kRootBlockSizeOffset);
  root.clustersPerBlock = view.U8(kRootClustersPerBlockOffset);
  root.hasSubnodes = (view.U8(kRootNodeHeaderOffset + kNodeFlagsOffset) & 1) != 0;
  if (root.indexedType != kFileNameType) return IndexError::kNotFileNames;
  if (!PowerOfTwo(root.blockSize) || root.blockSize < kMinIndexBlockSize ||
      root.blockSize > kMaxIndexBlockSize) {
    return IndexError::kBadBlockSize;
  }
  return ParseIndexNode(value, kRootNodeHeaderOffset, out);
}

IndexError ParseIndexBlock(MutableBytes block, uint64_t& vcn, std::vector<IndexEntry>& out) {
  const ByteView view(block);
  if (!view.Contains(0, kBlockNodeHeaderOffset + kNodeHeaderSize)) return IndexError::kTooShort;
  if (view.U32(0) != kIndexBlockSignature) return IndexError::kBadSignature;
  if (!ApplyFixup(block)) return IndexError::kBadFixup;
  vcn = view.U64(kBlockVcnOffset);
  return ParseIndexNode(block, kBlockNodeHeaderOffset, out);
}

bool IndexBlockOffset(uint64_t vcn, uint32_t blockSize, uint32_t clusterSize, uint64_t& offset) {
  if (!PowerOfTwo(clusterSize)) return false;
  unsigned shift = kSmallVcnShift;
  if (blockSize >= clusterSize) {
    shift = 0;
    while ((uint32_t{1} << shift) < clusterSize) ++shift;
  }
  if (vcn > (UINT64_MAX >> shift)) return false;
  offset = vcn << shift;
  return true;
}

std::vector<char16_t> ParseUpcaseTable(Bytes data) {
  const ByteView view(data);
  std::vector<char16_t> table(data.size() / kUnitSize);
  for (size_t i = 0; i < table.size(); ++i) {
    table[i] = static_cast<char16_t>(view.U16(i * kUnitSize));
  }
  return table;
}

bool NamesEqualIgnoringCase(std::u16string_view a, std::u16string_view b,
                            std::span<const char16_t> upcase) {
  if (a.size() != b.size()) return false;
  auto fold = [upcase](char16_t c) -> char16_t {
    if (!upcase.empty()) return c < upcase.size() ? upcase[c] : c;
    return c >= kAsciiLowerA && c <= kAsciiLowerZ ? static_cast<char16_t>(c - kAsciiCaseDistance)
                                                  : c;
  };
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

}  // namespace stow::engine::ntfs
