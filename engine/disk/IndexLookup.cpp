#include "engine/disk/IndexLookup.h"

#include <algorithm>
#include <cinttypes>
#include <set>

#include "engine/disk/MftReader.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::engine::ntfs {
namespace {

constexpr size_t kUpcaseBytes = size_t{65536} * 2;
// A directory's index tree: far more blocks than any real directory has, and a
// bound on the walk over a hostile tree whose subnodes loop.
constexpr size_t kMaxIndexBlocks = 1 << 16;
constexpr size_t kMaxExtensionRecords = 1024;

bool NameIs(const Attribute& a, std::u16string_view name) {
  if (a.nameLength != name.size()) return false;
  const ByteView view(a.bytes);
  const size_t at = view.U16(kAttrNameOffsetOffset);
  for (size_t i = 0; i < name.size(); ++i) {
    if (!view.Contains(at + 2 * i, 2) || view.U16(at + 2 * i) != name[i]) return false;
  }
  return true;
}

struct Extent {
  uint64_t firstVcn = 0;
  std::vector<DataRun> runs;
};

// Decodes an $INDEX_ALLOCATION $I30 extent of `record` into `extents`; false
// when its run list is damaged.
bool TakeAllocationExtents(Bytes record, std::vector<Extent>& extents,
                           uint64_t onlyVcn = UINT64_MAX) {
  AttributeWalker walk(record);
  for (Attribute a; walk.Next(a);) {
    if (a.type != kAttrIndexAllocation || !a.nonResident || !NameIs(a, kDirectoryIndexName)) {
      continue;
    }
    NonResidentHeader header;
    if (!ReadNonResidentHeader(a.bytes, header)) return false;
    if (onlyVcn != UINT64_MAX && header.firstVcn != onlyVcn) continue;
    Extent extent{header.firstVcn, {}};
    if (DecodeAttributeRuns(a.bytes, extent.runs) != RunListError::kNone) return false;
    extents.push_back(std::move(extent));
  }
  return true;
}

}  // namespace

constexpr EnumLabel<LookupResult> kLookupResultLabels[] = {
    {LookupResult::kFound, "found"},
    {LookupResult::kNotFound, "not found"},
    {LookupResult::kNotDirectory, "a path component is not a directory"},
    {LookupResult::kUnreadable, "the volume cannot be read"},
    {LookupResult::kDamaged, "a directory index or file record is damaged"},
};

const char* LookupResultText(LookupResult result) { return LabelOf(kLookupResultLabels, result); }

DirectoryReader::DirectoryReader(MftReader& mft) : mft_(mft) {}

bool DirectoryReader::ReadStream(const std::vector<DataRun>& runs, uint64_t offset, std::byte* out,
                                 uint64_t length) {
  std::vector<VolumeExtent> pieces;
  MapStreamRange(runs, mft_.Device().ClusterSize(), offset, length, pieces);
  const uint32_t sector = mft_.Device().AddressingSectorSize();
  const uint64_t deviceSize = mft_.Device().IsOpen() ? mft_.Device().Device()->Size() : 0;
  uint64_t covered = offset;
  for (const VolumeExtent& piece : pieces) {
    if (piece.streamOffset != covered || piece.length > UINT32_MAX ||
        piece.volumeOffset % sector != 0 ||
        !RangeFits(deviceSize, piece.volumeOffset, piece.length)) {
      return false;
    }
    const auto count = static_cast<uint32_t>(piece.length);
    if (mft_.Device().ReadPointData(out + (piece.streamOffset - offset), count,
                                    piece.volumeOffset / sector) != count) {
      return false;
    }
    covered += piece.length;
  }
  return covered == offset + length;
}

LookupResult DirectoryReader::ReadRecord(uint64_t number, std::vector<std::byte>& out) {
  if (mft_.MftRecord().empty() && !mft_.LoadMftRecord()) return LookupResult::kUnreadable;
  if (number >= mft_.MftRecordCount() || number > UINT32_MAX) return LookupResult::kDamaged;
  const std::byte* record = mft_.ReadFileRecord(static_cast<uint32_t>(number), false, true, false);
  if (record == nullptr) return LookupResult::kUnreadable;
  out.assign(record, record + kFileRecordSize);
  if (!HasFileSignature(out) || !RecordInUse(out)) return LookupResult::kNotFound;
  return LookupResult::kFound;
}

void DirectoryReader::LoadUpcase() {
  upcaseLoaded_ = true;
  std::vector<std::byte> record;
  if (ReadRecord(kUpcaseRecord, record) != LookupResult::kFound) return;
  AttributeWalker walk(record);
  for (Attribute a; walk.Next(a);) {
    if (a.type != kAttrData || a.nameLength != 0 || !a.nonResident) continue;
    NonResidentHeader header;
    std::vector<DataRun> runs;
    if (!ReadNonResidentHeader(a.bytes, header) ||
        DecodeAttributeRuns(a.bytes, runs) != RunListError::kNone) {
      break;
    }
    std::vector<std::byte> data(std::min<uint64_t>(header.dataSize, kUpcaseBytes));
    if (ReadStream(runs, 0, data.data(), data.size())) upcase_ = ParseUpcaseTable(data);
    break;
  }
  if (upcase_.empty()) LogDebug("directory lookup: no $UpCase table; ASCII letters are folded");
}

LookupResult DirectoryReader::CollectAllocation(uint64_t directory,
                                                const std::vector<std::byte>& base,
                                                DirectoryIndex& index) {
  std::vector<Extent> extents;
  if (!TakeAllocationExtents(base, extents)) return LookupResult::kDamaged;

  // A directory whose attributes outgrew its record keeps further extents in
  // extension records that its attribute list names.
  AttributeWalker walk(base);
  Bytes listAttribute;
  for (Attribute a; walk.Next(a);) {
    if (a.type == kAttrAttributeList) listAttribute = a.bytes;
  }
  if (!listAttribute.empty()) {
    std::vector<std::byte> value;
    Bytes resident;
    NonResidentHeader header;
    std::vector<DataRun> listRuns;
    if (ResidentValue(listAttribute, resident)) {
      value.assign(resident.begin(), resident.end());
    } else if (ReadNonResidentHeader(listAttribute, header) &&
               header.dataSize <= kMaxAttributeListSize &&
               DecodeAttributeRuns(listAttribute, listRuns) == RunListError::kNone) {
      value.resize(static_cast<size_t>(header.dataSize));
      if (!ReadStream(listRuns, 0, value.data(), value.size())) return LookupResult::kUnreadable;
    } else {
      return LookupResult::kDamaged;
    }
    std::vector<AttributeListEntry> entries;
    if (!ParseAttributeList(value, entries)) return LookupResult::kDamaged;
    // The directory's own position; an old-layout header has no number field.
    const uint64_t self = directory;
    size_t followed = 0;
    std::vector<std::byte> extension;
    for (const AttributeListEntry& entry : entries) {
      if (entry.type != kAttrIndexAllocation || entry.recordNumber == self) continue;
      if (++followed > kMaxExtensionRecords) return LookupResult::kDamaged;
      const LookupResult read = ReadRecord(entry.recordNumber, extension);
      if (read != LookupResult::kFound)
        return read == LookupResult::kNotFound ? LookupResult::kDamaged : read;
      if (!TakeAllocationExtents(extension, extents, entry.lowestVcn))
        return LookupResult::kDamaged;
    }
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.firstVcn < b.firstVcn; });
  for (Extent& e : extents) {
    index.allocation.insert(index.allocation.end(), e.runs.begin(), e.runs.end());
  }
  return LookupResult::kFound;
}

LookupResult DirectoryReader::LoadIndex(uint64_t directory, DirectoryIndex& index) {
  std::vector<std::byte> record;
  const LookupResult read = ReadRecord(directory, record);
  if (read != LookupResult::kFound)
    return read == LookupResult::kNotFound ? LookupResult::kDamaged : read;
  if ((RecordFlags(record) & kRecordIsDirectory) == 0) return LookupResult::kNotDirectory;
  bool haveRoot = false;
  AttributeWalker walk(record);
  for (Attribute a; walk.Next(a);) {
    if (a.type != kAttrIndexRoot || a.nonResident || !NameIs(a, kDirectoryIndexName)) continue;
    Bytes value;
    if (!ResidentValue(a.bytes, value)) return LookupResult::kDamaged;
    const IndexError error = ParseIndexRoot(value, index.root, index.rootEntries);
    if (error != IndexError::kNone) {
      LogDebug("directory lookup: record %" PRIu64 ": %s", directory, IndexErrorText(error));
      return LookupResult::kDamaged;
    }
    haveRoot = true;
    break;
  }
  if (!haveRoot) return LookupResult::kDamaged;
  if (!index.root.hasSubnodes) return LookupResult::kFound;
  return CollectAllocation(directory, record, index);
}

LookupResult DirectoryReader::ReadBlock(const DirectoryIndex& index, uint64_t vcn,
                                        std::vector<IndexEntry>& out) {
  uint64_t offset = 0;
  if (!IndexBlockOffset(vcn, index.root.blockSize, mft_.Device().ClusterSize(), offset)) {
    return LookupResult::kDamaged;
  }
  std::vector<std::byte> block(index.root.blockSize);
  if (!ReadStream(index.allocation, offset, block.data(), block.size())) {
    return LookupResult::kUnreadable;
  }
  uint64_t ownVcn = 0;
  const IndexError error = ParseIndexBlock(block, ownVcn, out);
  if (error != IndexError::kNone || ownVcn != vcn) {
    LogDebug("directory lookup: index block at VCN %" PRIu64 ": %s", vcn,
             error != IndexError::kNone ? IndexErrorText(error) : "it names another VCN");
    return LookupResult::kDamaged;
  }
  return LookupResult::kFound;
}

// Visits the nodes the tree reaches from its root (never a block that no entry
// points to: a freed block may still hold entries of deleted files), without
// relying on the collation order, until an entry of that name turns up.
LookupResult DirectoryReader::SearchTree(const DirectoryIndex& index, std::u16string_view name,
                                         IndexEntry& match) {
  std::vector<uint64_t> pending;
  std::set<uint64_t> visited;
  auto scan = [&](const std::vector<IndexEntry>& entries) {
    for (const IndexEntry& e : entries) {
      if (!e.last && NamesEqualIgnoringCase(e.name, name, upcase_)) {
        match = e;
        return true;
      }
      if (e.hasSubnode && visited.insert(e.subnodeVcn).second) pending.push_back(e.subnodeVcn);
    }
    return false;
  };
  if (scan(index.rootEntries)) return LookupResult::kFound;
  std::vector<IndexEntry> entries;
  while (!pending.empty()) {
    if (visited.size() > kMaxIndexBlocks) return LookupResult::kDamaged;
    const uint64_t vcn = pending.back();
    pending.pop_back();
    entries.clear();
    const LookupResult read = ReadBlock(index, vcn, entries);
    if (read != LookupResult::kFound) return read;
    if (scan(entries)) return LookupResult::kFound;
  }
  return LookupResult::kNotFound;
}

LookupResult DirectoryReader::Describe(const IndexEntry& entry, FoundFile& out) {
  std::vector<std::byte> record;
  const LookupResult read = ReadRecord(entry.recordNumber, record);
  if (read != LookupResult::kFound)
    return read == LookupResult::kNotFound ? LookupResult::kDamaged : read;
  // A reference whose sequence number no longer matches names a record that
  // was freed and reused since: the entry is stale.
  const uint16_t sequence = ByteView(record).U16(kSequenceNumberOffset);
  if (entry.sequence != 0 && entry.sequence != sequence) return LookupResult::kDamaged;
  out.recordNumber = entry.recordNumber;
  out.directory = (RecordFlags(record) & kRecordIsDirectory) != 0;
  return LookupResult::kFound;
}

LookupResult DirectoryReader::Find(uint64_t directory, std::u16string_view name, FoundFile& out) {
  if (!upcaseLoaded_) LoadUpcase();
  DirectoryIndex index;
  const LookupResult loaded = LoadIndex(directory, index);
  if (loaded != LookupResult::kFound) return loaded;
  IndexEntry match;
  const LookupResult searched = SearchTree(index, name, match);
  if (searched != LookupResult::kFound) return searched;
  return Describe(match, out);
}

LookupResult DirectoryReader::FindPath(const std::vector<std::u16string>& components,
                                       FoundFile& out) {
  FoundFile current{kRootDirectoryRecord, true};
  for (const std::u16string& component : components) {
    if (!current.directory) return LookupResult::kNotDirectory;
    FoundFile next;
    const LookupResult found = Find(current.recordNumber, component, next);
    if (found != LookupResult::kFound) return found;
    current = next;
  }
  out = current;
  return LookupResult::kFound;
}

}  // namespace stow::engine::ntfs
