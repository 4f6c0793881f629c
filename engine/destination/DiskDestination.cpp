// The destination side of a copy or restore: the cluster bitmap and its free
// extents, the resized $MFT, run-list edits in the record cache, the $MFTMirr
// and the bitmap written back.
#include "engine/destination/DiskDestination.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>

#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/disk/DiskDevice.h"
#include "engine/disk/MftReader.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kMirrorRecord = 1;
constexpr uint64_t kBitsPerByte = 8;
// $Bitmap is read in pieces of at most this many clusters.
constexpr uint64_t kBitmapReadClusters = 100;
// Writes of the bitmap and the mirror go out in pieces of at most 4 MiB.
constexpr uint64_t kWritePieceBytes = uint64_t{4} * 1024 * 1024;
// A bitmap longer than the volume needs by more than this is refused as damaged.
constexpr uint64_t kBitmapSlackBytes = uint64_t{1024} * 1024;
// The $MFTMirr holds 4 records, or one cluster when a cluster holds more.
constexpr uint32_t kMirrorRecords = 4;
constexpr size_t kMftMirrFieldOffset = 56;
// The records the copy keeps from the destination: $MFT, $Bitmap, $Boot, $BadClus.
constexpr uint64_t kKeptRecords[] = {0, 6, 7, 8};
constexpr uint64_t kEntryListRecords = 24;

bool IsKeptRecord(uint64_t record) {
  return std::find(std::begin(kKeptRecords), std::end(kKeptRecords), record) !=
         std::end(kKeptRecords);
}

bool IsUnnamedData(const ntfs::Attribute& a) {
  return a.type == ntfs::kAttrData && a.nameLength == 0;
}

// The first unnamed $DATA attribute among an entry's copies, decoded.
bool EntryData(const FileEntry& entry, ntfs::NonResidentHeader& header,
               std::vector<ntfs::DataRun>& runs, uint16_t* instance = nullptr) {
  for (const std::vector<std::byte>& copy : entry.attributes) {
    const ByteView view(copy.data(), copy.size());
    if (view.U32(ntfs::kAttrTypeOffset) != ntfs::kAttrData ||
        view.U8(ntfs::kAttrNameLengthOffset) != 0) {
      continue;
    }
    runs.clear();
    if (!ntfs::ReadNonResidentHeader(copy, header) ||
        ntfs::DecodeAttributeRuns(copy, runs) != ntfs::RunListError::kNone) {
      return false;
    }
    if (instance) *instance = view.U16(ntfs::kAttrInstanceOffset);
    return true;
  }
  return false;
}

bool RunInside(const ntfs::DataRun& run, uint64_t clusters) {
  return run.lcn < clusters && run.length <= clusters - run.lcn;
}

// Sets or clears, in `bitmap`, the clusters of every non-resident attribute of
// an entry; runs outside the volume are left alone.
uint64_t MarkEntryClusters(const FileEntry& entry, MutableBytes bitmap, uint64_t clusters,
                           bool value) {
  uint64_t marked = 0;
  for (const std::vector<std::byte>& copy : entry.attributes) {
    std::vector<ntfs::DataRun> runs;
    if (ntfs::DecodeAttributeRuns(copy, runs) != ntfs::RunListError::kNone) continue;
    for (const ntfs::DataRun& run : runs) {
      if (run.sparse || !RunInside(run, clusters)) continue;
      SetClusterBits(bitmap, clusters, run.lcn, run.length, value);
      marked += run.length;
    }
  }
  return marked;
}

}  // namespace

bool DiskDestination::LoadBitmap() {
  bitmap_.clear();
  bitmapLength_ = 0;
  bitmapRuns_.clear();
  freeExtents_.Clear();
  const std::vector<FileEntry>& entries = mft_.Entries();
  if (entries.size() <= kBitmapRecord) return false;
  ntfs::NonResidentHeader header;
  std::vector<ntfs::DataRun> runs;
  if (entries[kBitmapRecord].recordNumber != kBitmapRecord ||
      !EntryData(entries[kBitmapRecord], header, runs)) {
    LogLess("LoadBitmap: record 6 has no readable non-resident $DATA");
    return false;
  }
  const uint64_t clusters = mft_.VolumeClusterCount();
  const uint64_t clusterSize = device_.ClusterSize();
  const uint64_t held = ntfs::AllocatedClusters(runs);
  const uint64_t needed = (clusters + kBitsPerByte - 1) / kBitsPerByte;
  const bool runsOk = std::all_of(runs.begin(), runs.end(), [&](const ntfs::DataRun& r) {
    return !r.sparse && RunInside(r, clusters);
  });
  if (!runsOk || header.dataSize < needed || header.dataSize > needed + kBitmapSlackBytes ||
      held > (header.dataSize + kBitmapSlackBytes) / clusterSize + 1 ||
      header.dataSize > held * clusterSize) {
    LogLess("LoadBitmap: $Bitmap's runs or size (%" PRIu64 " bytes) do not fit a volume of %" PRIu64
            " clusters",
            header.dataSize, clusters);
    return false;
  }
  std::vector<std::byte> buffer(held * clusterSize);
  for (const ntfs::DataRun& run : runs) {
    for (uint64_t done = 0; done < run.length;) {
      const uint64_t piece = std::min(kBitmapReadClusters, run.length - done);
      const auto count = static_cast<uint32_t>(piece * clusterSize);
      if (device_.ReadPointData(buffer.data() + (run.vcn + done) * clusterSize, count,
                                (run.lcn + done) * device_.SectorsPerCluster()) != count) {
        LogLess("LoadBitmap: $Bitmap cannot be read at cluster %" PRIu64, run.lcn + done);
        return false;
      }
      done += piece;
    }
  }
  bitmap_ = std::move(buffer);
  bitmapLength_ = header.dataSize;
  bitmapRuns_ = std::move(runs);
  freeExtents_.Build(Bytes(bitmap_.data(), bitmapLength_), clusters);
  return true;
}

uint64_t DiskDestination::ReleaseReplacedMetadata() {
  if (bitmap_.empty()) return 0;
  const uint64_t clusters = mft_.VolumeClusterCount();
  const MutableBytes bits(bitmap_.data(), bitmapLength_);
  uint64_t freed = 0;
  for (const FileEntry& entry : mft_.Entries()) {
    if (entry.recordNumber < kEntryListRecords && !IsKeptRecord(entry.recordNumber)) {
      freed += MarkEntryClusters(entry, bits, clusters, false);
    }
  }
  // What the kept records use stays in use even if a damaged record above
  // named the same clusters.
  for (const FileEntry& entry : mft_.Entries()) {
    if (IsKeptRecord(entry.recordNumber)) MarkEntryClusters(entry, bits, clusters, true);
  }
  freeExtents_.Build(bits, clusters);
  return freed;
}

void DiskDestination::ReserveMftZone(uint64_t zoneClusters) {
  freeExtents_.ReserveZone(device_.MftCluster(), zoneClusters);
}

TaskError DiskDestination::CheckMftRange(uint64_t clusters) {
  const uint64_t m = device_.MftCluster();
  const uint64_t volume = mft_.VolumeClusterCount();
  if (clusters == 0 || m >= volume || clusters > volume - m) {
    LogLess("the resized $MFT of %" PRIu64 " clusters at cluster %" PRIu64
            " does not fit a volume of %" PRIu64 " clusters",
            clusters, m, volume);
    return TaskError::kMftZoneInUse;
  }
  if (bitmap_.empty() || mft_.Entries().empty()) return TaskError::kMftZoneInUse;
  std::vector<std::byte> inUse(bitmap_.begin(),
                               bitmap_.begin() + static_cast<std::ptrdiff_t>(bitmapLength_));
  // The $MFT's own clusters are rewritten, and $Bitmap and the $MFT's $BITMAP
  // are moved at the end when the new $MFT covers them.
  MarkEntryClusters(mft_.Entries()[0], inUse, volume, false);
  for (const ntfs::DataRun& run : bitmapRuns_) {
    if (!run.sparse) SetClusterBits(inUse, volume, run.lcn, run.length, false);
  }
  if (AnyClusterBit(inUse, m, clusters)) {
    uint64_t c = m;
    while (!ClusterBit(inUse, c)) ++c;
    LogLess("the resized $MFT [%" PRIu64 ", %" PRIu64 ") would cover cluster %" PRIu64
            ", which the destination keeps in use",
            m, m + clusters, c);
    return TaskError::kMftZoneInUse;
  }
  return TaskError::kNone;
}

TaskError DiskDestination::ResizeDestinationMft(uint64_t clusters, uint64_t dataSize,
                                                uint64_t initializedSize) {
  std::vector<FileEntry>& entries = mft_.MutableEntries();
  if (entries.empty() || entries[0].recordNumber != 0) return TaskError::kDestinationInconsistent;
  std::vector<uint16_t> instances;
  for (const std::vector<std::byte>& copy : entries[0].attributes) {
    const ByteView view(copy.data(), copy.size());
    if (view.U32(ntfs::kAttrTypeOffset) == ntfs::kAttrData &&
        view.U8(ntfs::kAttrNameLengthOffset) == 0) {
      instances.push_back(view.U16(ntfs::kAttrInstanceOffset));
    }
  }
  const uint64_t allocated = clusters * device_.ClusterSize();
  for (uint16_t instance : instances) {
    RecordEdit edit = ChangeFileAttr(0, instance, device_.MftCluster(), clusters, false);
    std::byte* record = mft_.ReadFileRecord(0, false, true, true);
    if (edit == RecordEdit::kOk && record != nullptr) {
      edit =
          SetNonResidentSizes(MutableBytes(record, kFileRecordSize), instance, allocated,
                              std::min(dataSize, allocated), std::min(initializedSize, allocated));
    }
    if (edit != RecordEdit::kOk) {
      LogLess("ResizeDestinationMft: record 0: %s", RecordEditText(edit));
      return TaskError::kDestinationInconsistent;
    }
  }
  if (instances.empty() || !mft_.FlushRecordCache() || !mft_.LoadMftRecord()) {
    LogLess("ResizeDestinationMft: the resized record 0 cannot be written or read back");
    return TaskError::kDestinationInconsistent;
  }
  FileEntry entry;
  entry.recordNumber = 0;
  entry.bytesInUse = ntfs::BytesInUse(mft_.MftRecord());
  ntfs::AttributeWalker walk(mft_.MftRecord());
  for (ntfs::Attribute a; walk.Next(a);)
    entry.attributes.emplace_back(a.bytes.begin(), a.bytes.end());
  entries[0] = std::move(entry);
  return TaskError::kNone;
}

bool DiskDestination::AllocateClusters(uint64_t wanted, uint64_t& first, uint64_t& granted) {
  return freeExtents_.Allocate(wanted, first, granted);
}

void DiskDestination::MarkClustersUsed(uint64_t first, uint64_t count) {
  SetClusterBits(MutableBytes(bitmap_.data(), bitmapLength_), bitmapLength_ * kBitsPerByte, first,
                 count);
}

RecordEdit DiskDestination::ChangeFileAttr(uint64_t record, uint16_t instance, uint64_t first,
                                           uint64_t count, bool append) {
  if (record > UINT32_MAX) return RecordEdit::kNoRecord;
  std::byte* cached = mft_.ReadFileRecord(static_cast<uint32_t>(record), false, true, true);
  if (cached == nullptr) return RecordEdit::kNoRecord;
  RunListChange change;
  change.instance = instance;
  change.firstCluster = first;
  change.clusterCount = count;
  change.append = append;
  if (record == 0 && !append) {
    change.setSizes = true;
    change.clusterBytes = device_.ClusterSize();
    change.dataSize = count * device_.ClusterSize();
    change.initializedSize = change.dataSize;
  }
  std::vector<std::byte> image;
  const RecordEdit edit = ChangeRunList(Bytes(cached, kFileRecordSize), change, image);
  if (edit == RecordEdit::kResident) {
    // The two bytes after "attrNumber" are a full-width colon in the GBK code page.
    LogLess(
        "ChangeFileAttr fail , fileMftNo:0x%x , attrNumber\xA3\xBA"
        "0x%x , len:0x%x",
        static_cast<unsigned>(record & 0xFFFFFFFFu), static_cast<unsigned>(record >> 32),
        unsigned{instance});
  }
  if (edit != RecordEdit::kOk) return edit;
  // The cache holds the record in on-disk form until it is fetched again.
  if (!ntfs::UndoFixup(image)) return RecordEdit::kMalformed;
  std::memcpy(cached, image.data(), kFileRecordSize);
  return RecordEdit::kOk;
}

TaskError DiskDestination::WriteMftMirror() {
  const uint32_t clusterSize = device_.ClusterSize();
  const uint64_t records = clusterSize <= kMirrorRecords * kFileRecordSize
                               ? kMirrorRecords
                               : clusterSize / kFileRecordSize;
  const uint64_t bytes = records * kFileRecordSize;
  const std::byte* record1 = mft_.ReadFileRecord(kMirrorRecord, false, true, true);
  Bytes data;
  if (record1 != nullptr) {
    ntfs::AttributeWalker walk(Bytes(record1, kFileRecordSize));
    for (ntfs::Attribute a; walk.Next(a);) {
      if (IsUnnamedData(a)) {
        data = a.bytes;
        break;
      }
    }
  }
  ntfs::NonResidentHeader header;
  std::vector<ntfs::DataRun> runs;
  std::vector<ntfs::VolumeExtent> pieces;
  if (!data.empty() && ntfs::ReadNonResidentHeader(data, header) &&
      ntfs::DecodeAttributeRuns(data, runs) == ntfs::RunListError::kNone && !runs.empty() &&
      !runs.front().sparse && header.dataSize >= bytes) {
    ntfs::MapStreamRange(runs, clusterSize, 0, bytes, pieces);
  }
  uint64_t mapped = 0;
  for (const ntfs::VolumeExtent& piece : pieces) mapped += piece.length;
  if (mapped != bytes || !std::all_of(runs.begin(), runs.end(), [&](const ntfs::DataRun& r) {
        return RunInside(r, mft_.VolumeClusterCount());
      })) {
    LogLess("WriteMftMirror: record 1 has no $DATA that holds %" PRIu64 " records", records);
    return TaskError::kDestinationInconsistent;
  }
  std::vector<std::byte> mirror(bytes);
  if (!mft_.ReadStream(mft_.MftRuns(), 0, mirror.data(), bytes)) {
    LogLess("WriteMftMirror: the first records of the $MFT cannot be read");
    return TaskError::kDestinationInconsistent;
  }
  for (const ntfs::VolumeExtent& piece : pieces) {
    const auto count = static_cast<uint32_t>(piece.length);
    if (device_.WritePointData(mirror.data() + piece.streamOffset, count,
                               piece.volumeOffset / device_.AddressingSectorSize()) != count) {
      return TaskError::kWriteFailed;
    }
  }
  StoreLe64(&device_.MutableBootSector()[kMftMirrFieldOffset], runs.front().lcn);
  if (device_.WritePointData(device_.BootSector().data(), kBootSectorSize, 0) != kBootSectorSize) {
    return TaskError::kWriteFailed;
  }
  // The backup boot sector is the volume's last sector: the one the sector
  // count of the boot sector leaves out. It is kept identical to the first.
  const uint64_t backup = device_.TotalSectors();
  if (device_.IsOpen() && RangeFits(device_.Device()->Size() / kDefaultSectorSize, backup, 1) &&
      device_.WritePointData(device_.BootSector().data(), kBootSectorSize, backup) !=
          kBootSectorSize) {
    return TaskError::kWriteFailed;
  }
  return TaskError::kNone;
}

bool DiskDestination::WriteBitmap() {
  if (bitmap_.empty()) return false;
  const uint64_t clusterSize = device_.ClusterSize();
  bool ok = true;
  for (const ntfs::DataRun& run : bitmapRuns_) {
    if (run.sparse) continue;
    const uint64_t begin = run.vcn * clusterSize;
    const uint64_t end = std::min<uint64_t>(bitmap_.size(), (run.vcn + run.length) * clusterSize);
    for (uint64_t at = begin; at < end;) {
      const auto count = static_cast<uint32_t>(std::min(kWritePieceBytes, end - at));
      const uint64_t sector =
          (run.lcn * clusterSize + (at - begin)) / device_.AddressingSectorSize();
      if (device_.WritePointData(bitmap_.data() + at, count, sector) != count) ok = false;
      at += count;
    }
  }
  return ok;
}

}  // namespace stow::engine
