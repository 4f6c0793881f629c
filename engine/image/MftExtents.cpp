#include "engine/image/MftExtents.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "engine/core/TaskError.h"
#include "engine/disk/Disk.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "platform/BlockDevice.h"
#include "support/Format.h"

namespace stow::engine {
namespace {

constexpr uint64_t kRecordBytes = 1024;
constexpr uint64_t kSectorBytes = 512;
constexpr size_t kBytesAllocatedField = 28;

[[nodiscard]] TaskError Refuse(std::string& detail, std::string text) {
  detail = std::move(text);
  return TaskError::kSourceMftUnsupported;
}

// The attribute of `record` with `instance`; false when there is none.
bool FindInstance(Bytes record, uint16_t instance, ntfs::Attribute& out) {
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance == instance) {
      out = a;
      return true;
    }
  }
  return false;
}

}  // namespace

bool IsMftExtensionRecord(Bytes record) {
  const uint64_t base = ByteView(record).U64(ntfs::kBaseRecordOffset);
  return base != 0 && (base & ntfs::kReferenceRecordMask) == 0;
}

TaskError ReadSourceMftLayout(Bytes chunk, uint64_t firstRunBytes, SourceMftLayout& out,
                              std::string& detail) {
  out = SourceMftLayout{};
  const std::string where = "MFT record 0 of the source: ";
  if (chunk.size() < kRecordBytes) {
    return Refuse(detail, where + "the first $MFT chunk is shorter than one file record");
  }
  std::vector<std::byte> record(chunk.begin(), chunk.begin() + kRecordBytes);
  const ByteView view(record.data(), record.size());
  const bool numbered = view.U16(ntfs::kUsaOffsetOffset) >= ntfs::kRecordHeaderSize;
  if (!ntfs::ApplyFixup(record) || !ntfs::HasFileSignature(record) ||
      (numbered && ntfs::RecordNumberField(record) != 0) ||
      view.U32(kBytesAllocatedField) != kRecordBytes) {
    return Refuse(detail, where +
                              "the stream does not begin with a usable record 0 (no \"FILE\" "
                              "signature, a bad update sequence or another record number)");
  }
  ntfs::MftData data;
  const ntfs::MftDataError error = ntfs::FindMftData(record, data);
  if (error != ntfs::MftDataError::kNone || !data.nonResident || data.runs.empty()) {
    return Refuse(detail, where + "its unnamed $DATA attribute is missing, resident, does not "
                                  "start at VCN 0 or has a damaged run list");
  }
  if (std::any_of(data.runs.begin(), data.runs.end(),
                  [](const ntfs::DataRun& r) { return r.sparse; })) {
    return Refuse(detail, where + "its $DATA run list has a sparse run");
  }
  const ntfs::DataRun& first = data.runs.front();
  if (firstRunBytes == 0 || firstRunBytes % first.length != 0 ||
      !IsImageClusterSize(firstRunBytes / first.length)) {
    return Refuse(detail, FormatString("%sits first run of %" PRIu64
                                 " clusters arrived as %" PRIu64 " bytes",
                                 where.c_str(), first.length, firstRunBytes));
  }
  out.clusterSize = firstRunBytes / first.length;
  out.firstExtentClusters = data.runs.back().vcn + data.runs.back().length;
  ntfs::NonResidentHeader header;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.type == ntfs::kAttrAttributeList) out.hasAttributeList = true;
    if (a.type == ntfs::kAttrData && a.nameLength == 0 && a.nonResident) {
      if (!ntfs::ReadNonResidentHeader(a.bytes, header)) {
        return Refuse(detail, FormatString("%sits $DATA attribute's header is damaged", where.c_str()));
      }
    }
  }
  if (header.lastVcn + 1 != out.firstExtentClusters) {
    return Refuse(detail, FormatString("%sits $DATA names VCNs 0..%" PRIu64
                                 " but its runs hold %" PRIu64 " clusters",
                                 where.c_str(), header.lastVcn, out.firstExtentClusters));
  }
  if (data.allocatedSize % out.clusterSize != 0 ||
      data.allocatedSize / out.clusterSize < out.firstExtentClusters ||
      data.dataSize > data.allocatedSize || data.dataSize < kRecordBytes) {
    return Refuse(detail, FormatString("%sits $DATA sizes (allocated %" PRIu64 ", data %" PRIu64
                                 ") do not fit its runs of %" PRIu64 " clusters of %" PRIu64
                                 " bytes",
                                 where.c_str(), data.allocatedSize, data.dataSize,
                                 out.firstExtentClusters, out.clusterSize));
  }
  out.totalClusters = data.allocatedSize / out.clusterSize;
  out.allocatedSize = data.allocatedSize;
  out.dataSize = data.dataSize;
  out.initializedSize = std::min(header.initializedSize, data.dataSize);
  ntfs::AttributeWalker lists(record);
  for (ntfs::Attribute a; lists.Next(a);) {
    Bytes value;
    if (a.type != ntfs::kAttrAttributeList || !ntfs::ResidentValue(a.bytes, value)) continue;
    std::vector<ntfs::AttributeListEntry> entries;
    if (!ntfs::ParseAttributeList(value, entries)) {
      return Refuse(detail, where + "its attribute list is damaged");
    }
    out.listResident = true;
    for (const ntfs::AttributeListEntry& e : entries) {
      if (e.type == ntfs::kAttrData && e.nameLength == 0 && e.lowestVcn != 0) {
        out.listedExtents.emplace_back(e.lowestVcn, e.recordNumber);
      }
    }
    std::sort(out.listedExtents.begin(), out.listedExtents.end());
  }
  if (out.HasExtensions() && !out.hasAttributeList) {
    return Refuse(detail, FormatString("%sits $DATA holds %" PRIu64 " of the $MFT's %" PRIu64
                                       " clusters and it has no attribute list naming the "
                                       "extension records that hold the rest",
                                       where.c_str(), out.firstExtentClusters, out.totalClusters));
  }
  return TaskError::kNone;
}

bool MftStreamTracker::Overlaps(uint64_t offset, uint64_t length) const {
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                             [](uint64_t o, const Piece& p) { return o < p.offset; });
  if (it != pieces_.end() && it->offset < offset + length) return true;
  if (it == pieces_.begin()) return false;
  --it;
  return it->offset + it->length > offset;
}

void MftStreamTracker::Placed(uint64_t offset, uint64_t length, uint64_t location) {
  if (length == 0) return;
  placedBytes_ += length;
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                             [](uint64_t o, const Piece& p) { return o < p.offset; });
  if (it != pieces_.begin()) {
    Piece& before = *(it - 1);
    if (before.offset + before.length == offset && before.location + before.length == location) {
      before.length += length;
      return;
    }
  }
  pieces_.insert(it, Piece{offset, length, location});
}

bool MftStreamTracker::Locate(uint64_t offset, uint64_t length,
                              std::vector<std::pair<uint64_t, uint64_t>>& pieces) const {
  pieces.clear();
  auto it = std::upper_bound(pieces_.begin(), pieces_.end(), offset,
                             [](uint64_t o, const Piece& p) { return o < p.offset; });
  if (it == pieces_.begin()) return false;
  --it;
  uint64_t at = offset;
  const uint64_t end = offset + length;
  for (; it != pieces_.end() && at < end; ++it) {
    if (it->offset > at || it->offset + it->length <= at) return false;
    const uint64_t take = std::min(end, it->offset + it->length) - at;
    pieces.emplace_back(it->location + (at - it->offset), take);
    at += take;
  }
  return at == end;
}

bool MftStreamTracker::RecordPlaced(uint64_t n) const {
  if (n >= layout_.TotalBytes() / kRecordBytes) return false;
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  return Locate(n * kRecordBytes, kRecordBytes, pieces);
}

TaskError MftStreamTracker::BeginRecord(uint64_t n, Bytes record, std::string& detail) {
  inExtension_ = false;
  haveExtent_ = false;
  if (!RecordPlaced(n)) {
    return Refuse(detail, FormatString("MFT record %" PRIu64
                                 " of the source: its runs come before the part of the $MFT "
                                 "that holds the record (%" PRIu64 " of %" PRIu64
                                 " bytes of the $MFT have arrived)",
                                 n, placedBytes_, layout_.TotalBytes()));
  }
  if (record.size() < kRecordBytes || !ntfs::HasFileSignature(record) ||
      !ntfs::RecordInUse(record) || !IsMftExtensionRecord(record)) {
    return TaskError::kNone;
  }
  inExtension_ = true;
  extensionRecord_ = n;
  extension_.assign(record.begin(), record.begin() + kRecordBytes);
  return TaskError::kNone;
}

TaskError MftStreamTracker::Classify(const MftChunk& chunk, Role& role, uint64_t& streamOffset,
                                     std::string& detail) {
  role = Role::kOther;
  streamOffset = 0;
  const uint64_t cluster = layout_.clusterSize;
  if (chunk.recordNumber == 0) {
    if (chunk.dataLength == 0) {
      return Refuse(detail, "MFT record 0 of the source: its $DATA has a sparse run");
    }
    if (chunk.dataLength > layout_.firstExtentClusters * cluster - record0Bytes_) {
      return Refuse(detail, FormatString("MFT record 0 of the source: its runs send more than the "
                                   "%" PRIu64 " clusters its $DATA names",
                                   layout_.firstExtentClusters));
    }
    role = Role::kMft;
    streamOffset = record0Bytes_;
    record0Bytes_ += chunk.dataLength;
    return TaskError::kNone;
  }
  if (!inExtension_ || chunk.recordNumber != extensionRecord_) return TaskError::kNone;

  const std::string where = FormatString("MFT record %" PRIu64
                                         " of the source (an extension of the "
                                         "$MFT), attribute %u: ",
                                         extensionRecord_, unsigned{chunk.attributeInstance});
  ntfs::Attribute a;
  if (!FindInstance(extension_, chunk.attributeInstance, a)) {
    return Refuse(detail, where + "the record has no such attribute");
  }
  role = Role::kSkip;
  if (a.type != ntfs::kAttrData || a.nameLength != 0 || !a.nonResident) return TaskError::kNone;
  ntfs::NonResidentHeader header;
  if (!ntfs::ReadNonResidentHeader(a.bytes, header) || header.firstVcn == 0 ||
      header.lastVcn < header.firstVcn || header.lastVcn >= layout_.totalClusters) {
    return Refuse(detail, FormatString("%sits VCNs %" PRIu64 "..%" PRIu64
                                 " are not an extent of a $MFT of %" PRIu64 " clusters",
                                 where.c_str(), header.firstVcn, header.lastVcn,
                                 layout_.totalClusters));
  }
  if (chunk.dataLength == 0) return Refuse(detail, where + "a sparse run in the $MFT");
  if (chunk.runOffset == 0) {
    if (!haveExtent_ || extentInstance_ != chunk.attributeInstance) {
      haveExtent_ = true;
      extentInstance_ = chunk.attributeInstance;
      extentFirstVcn_ = header.firstVcn;
      extentEndVcn_ = header.lastVcn + 1;
      nextVcn_ = extentFirstVcn_;
      extents_.emplace_back(extentFirstVcn_, extensionRecord_);
    }
    if (chunk.runLength == 0 || chunk.runLength % cluster != 0 ||
        chunk.runLength / cluster > extentEndVcn_ - nextVcn_) {
      return Refuse(detail, FormatString("%sits runs reach past its last VCN %" PRIu64, where.c_str(),
                                   extentEndVcn_ - 1));
    }
    runVcn_ = nextVcn_;
    runBytes_ = chunk.runLength;
    nextVcn_ += chunk.runLength / cluster;
  } else if (!haveExtent_ || extentInstance_ != chunk.attributeInstance ||
             chunk.runLength != runBytes_) {
    return Refuse(detail, where + "a chunk does not continue its run");
  }
  const uint64_t within = chunk.runOffset * kSectorBytes;
  if (within > runBytes_ || chunk.dataLength > runBytes_ - within) {
    return Refuse(detail, where + "a chunk does not fit its run");
  }
  streamOffset = runVcn_ * cluster + within;
  if (Overlaps(streamOffset, chunk.dataLength)) {
    return Refuse(detail, FormatString("%sit names bytes %" PRIu64
                                       " of the $MFT, which another extent already holds",
                                       where.c_str(), streamOffset));
  }
  role = Role::kMft;
  return TaskError::kNone;
}

TaskError MftStreamTracker::CheckListedExtents(std::string& detail) const {
  if (!layout_.listResident) return TaskError::kNone;
  std::vector<std::pair<uint64_t, uint64_t>> found(extents_);
  std::sort(found.begin(), found.end());
  if (found == layout_.listedExtents) return TaskError::kNone;
  for (const auto& [vcn, record] : layout_.listedExtents) {
    if (!std::binary_search(found.begin(), found.end(), std::make_pair(vcn, record))) {
      return Refuse(detail,
                    FormatString("MFT record 0 of the source: its attribute list names a $MFT "
                                 "extent at VCN %" PRIu64 " in record %" PRIu64
                                 ", which the stream does not bring",
                                 vcn, record));
    }
  }
  return Refuse(detail,
                "MFT record 0 of the source: its attribute list does not name every "
                "extension record that holds a part of the $MFT");
}

TaskError MftStreamTracker::Finish(std::string& detail) const {
  if (Complete()) return CheckListedExtents(detail);
  return Refuse(detail, FormatString("the source's $MFT arrived with %" PRIu64 " of its %" PRIu64
                                     " bytes: extension records that hold the rest are missing or "
                                     "damaged",
                                     placedBytes_, layout_.TotalBytes()));
}

// --- Checks before the destination is touched -------------------------------

namespace {

constexpr uint64_t kMinFirstChunk = 24 * kRecordBytes;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kBootRecord = 7;
constexpr uint64_t kBadClusRecord = 8;

// Reads record `n` where the image holds it; empty when it cannot be read.
std::vector<std::byte> ImageRecord(platform::BlockDevice& image, const MftStreamTracker& mft,
                                   uint64_t n) {
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  if (n > UINT64_MAX / kRecordBytes || !mft.Locate(n * kRecordBytes, kRecordBytes, pieces)) {
    return {};
  }
  std::vector<std::byte> record(kRecordBytes);
  uint64_t at = 0;
  for (const auto& [location, length] : pieces) {
    const platform::IoResult io = image.ReadAt(location, MutableBytes(record.data() + at, length));
    if (io.error != 0 || io.bytes != length) return {};
    at += length;
  }
  if (!ntfs::ApplyFixup(record)) return {};
  return record;
}

}  // namespace

TaskError CheckImageMft(platform::BlockDevice& image, std::string& detail, ImageRetry retry) {
  ImageReader reader(image, false, retry);
  // The first chunk is read whole; it is at most a slot, and no larger than the file.
  std::vector<std::byte> first(std::min<uint64_t>(kImageChunkBytes, image.Size()));
  ImageChunk chunk;
  ImageStatus status = reader.Next(chunk, first);
  if (status == ImageStatus::kEnd) {
    detail = "the image holds no data, not even the source's $MFT";
    return TaskError::kImageDamaged;
  }
  if (status != ImageStatus::kChunk) {
    detail = reader.FaultText();
    return TaskError::kImageDamaged;
  }
  if (chunk.recordNumber != 0 || chunk.runOffset != 0 || chunk.dataLength < kMinFirstChunk) {
    return Refuse(detail,
                  "the image's first block is not the start of the source's $MFT "
                  "with its first 24 records");
  }
  SourceMftLayout layout;
  if (const TaskError r = ReadSourceMftLayout(Bytes(first.data(), chunk.dataLength),
                                              chunk.runLength, layout, detail);
      r != TaskError::kNone) {
    return r;
  }
  MftStreamTracker mft(layout);
  uint64_t previous = 0;
  for (;;) {
    MftStreamTracker::Role role;
    uint64_t offset = 0;
    const MftChunk c{chunk.recordNumber, chunk.attributeInstance, chunk.runLength, chunk.runOffset,
                     chunk.dataLength};
    if (const TaskError r = mft.Classify(c, role, offset, detail); r != TaskError::kNone) return r;
    if (role == MftStreamTracker::Role::kMft) mft.Placed(offset, c.dataLength, chunk.fileOffset);
    // Past the $MFT's end nothing is read: a volume without extents stops here.
    if (mft.Complete() || (role == MftStreamTracker::Role::kOther && !layout.HasExtensions())) {
      break;
    }
    status = reader.Next(chunk, {});
    if (status == ImageStatus::kEnd) break;
    if (status != ImageStatus::kChunk) {
      detail = reader.FaultText();
      return TaskError::kImageDamaged;
    }
    if (chunk.recordNumber != previous && chunk.recordNumber != 0) {
      const std::vector<std::byte> record = ImageRecord(image, mft, chunk.recordNumber);
      if (const TaskError r = mft.BeginRecord(chunk.recordNumber, record, detail);
          r != TaskError::kNone)
        return r;
    }
    previous = chunk.recordNumber;
  }
  return mft.Finish(detail);
}

TaskError CheckImageMftFile(const std::string& path, std::string& detail) {
  std::unique_ptr<platform::BlockDevice> file;
  if (const int opened = platform::OpenBlockDevice(path, true, file); opened != 0 || !file) {
    detail = path + ": " + platform::SystemErrorText(opened);
    return TaskError::kImageOpenFailed;
  }
  return CheckImageMft(*file, detail);
}

TaskError CheckSourceMft(CDisk& source, std::string& detail) {
  if (!source.Mft().LoadMftRecord() || source.Mft().MftRuns().empty()) {
    detail =
        "MFT record 0 of the source: the $MFT cannot be followed (record 0, its attribute list "
        "or an extension record it names is damaged or cannot be read; the log says which)";
    return TaskError::kSourceReadFailed;
  }
  const std::vector<std::byte>& record0 = source.Mft().MftRecord();
  SourceMftLayout layout;
  const uint64_t firstRun = source.Mft().MftRuns().front().length * source.Device().ClusterSize();
  if (const TaskError r = ReadSourceMftLayout(record0, firstRun, layout, detail);
      r != TaskError::kNone)
    return r;
  MftStreamTracker mft(layout);
  mft.Placed(0, layout.firstExtentClusters * layout.clusterSize, 0);
  const uint64_t records = source.Mft().MftRecordCount();
  for (uint64_t n = 1; n < records && n <= UINT32_MAX && !mft.Complete(); ++n) {
    if (n == kBitmapRecord || n == kBootRecord || n == kBadClusRecord) continue;
    const std::byte* cached =
        source.Mft().ReadFileRecord(static_cast<uint32_t>(n), false, true, false);
    if (cached == nullptr) continue;
    const std::vector<std::byte> record(cached, cached + kRecordBytes);
    if (!ntfs::HasFileSignature(record) || !ntfs::RecordInUse(record)) continue;
    // The copy sends the runs of the non-resident attributes, in record order.
    std::vector<MftChunk> chunks;
    ntfs::AttributeWalker walk(record);
    for (ntfs::Attribute a; walk.Next(a);) {
      std::vector<ntfs::DataRun> runs;
      if (!a.nonResident || ntfs::DecodeAttributeRuns(a.bytes, runs) != ntfs::RunListError::kNone) {
        continue;
      }
      for (const ntfs::DataRun& run : runs) {
        const uint64_t bytes = run.length * layout.clusterSize;
        chunks.push_back(MftChunk{n, a.instance, bytes, 0, run.sparse ? 0 : bytes});
      }
    }
    if (chunks.empty()) continue;
    if (const TaskError r = mft.BeginRecord(n, record, detail); r != TaskError::kNone) return r;
    for (const MftChunk& c : chunks) {
      MftStreamTracker::Role role;
      uint64_t offset = 0;
      if (const TaskError r = mft.Classify(c, role, offset, detail); r != TaskError::kNone)
        return r;
      if (role == MftStreamTracker::Role::kMft) mft.Placed(offset, c.dataLength, offset);
    }
  }
  return mft.Finish(detail);
}

}  // namespace stow::engine
