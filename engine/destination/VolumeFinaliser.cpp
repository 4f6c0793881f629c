#include "engine/destination/VolumeFinaliser.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "engine/check/VolumeCheck.h"
#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestination.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/disk/Disk.h"
#include "engine/image/MftExtents.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kLogFileRecord = 2;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kKeptRecords[] = {0, 6, 7, 8};
constexpr uint32_t kAttrBitmap = 0xB0;
constexpr uint64_t kBitsPerByte = 8;
// The $MFT's $BITMAP grows in steps of 8 bytes (64 records).
constexpr uint64_t kMftBitmapStep = 8;
// The MFT is read, and large fills written, in pieces of this size.
constexpr uint64_t kPieceBytes = uint64_t{1024} * 1024;

// $LogFile restart page (byte offsets).
constexpr char kRestartMagic[] = "RSTR";
constexpr size_t kRestartAreaOffsetField = 24;  // 16-bit
constexpr size_t kRestartHeaderSize = 30;
constexpr size_t kClientInUseListField = 12;  // in the restart area, 16-bit
constexpr size_t kRestartFlagsField = 14;     // in the restart area, 16-bit
constexpr uint16_t kLogNoClient = 0xFFFF;
constexpr uint16_t kRestartVolumeIsClean = 0x0002;
constexpr size_t kLogPageProbe = 4096;
constexpr std::byte kLogResetByte{0xFF};

bool IsKept(uint64_t record) {
  return std::find(std::begin(kKeptRecords), std::end(kKeptRecords), record) !=
         std::end(kKeptRecords);
}

uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

TaskError Inconsistent(const char* format, ...) STOW_PRINTF(1, 2);
TaskError Inconsistent(const char* format, ...) {
  char text[300];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  LogLess("the destination cannot be made consistent: %s", text);
  return TaskError::kDestinationInconsistent;
}

// An attribute of a kept record that the finaliser rewrites and may move.
struct MovableAttribute {
  bool found = false;
  bool resident = false;
  uint16_t instance = 0;
  ntfs::NonResidentHeader header;
  std::vector<ntfs::DataRun> runs;
  uint32_t valueLength = 0;
};

// Each step returns TaskError::kNone when it succeeded and the task goes on,
// else the error that ends it.
class Finaliser {
 public:
  Finaliser(CDisk& disk, DiskDestination& destination, std::vector<uint64_t> rewritten,
            Bytes formatted)
      : device_(disk.Device()),
        mft_(disk.Mft()),
        destination_(destination),
        rewritten_(std::move(rewritten)),
        formatted_(formatted),
        volume_(mft_.VolumeClusterCount()),
        clusterSize_(device_.ClusterSize()),
        check_(volume_) {
    std::sort(rewritten_.begin(), rewritten_.end());
  }

  TaskError Run() {
    if (!mft_.FlushRecordCache()) return Inconsistent("the MFT cannot be written back");
    if (const TaskError r = Walk(); r != TaskError::kNone) return r;
    if (const TaskError r = FreeMftExtensionRecords(); r != TaskError::kNone) return r;
    if (const TaskError r = PlaceMftBitmap(); r != TaskError::kNone) return r;
    if (const TaskError r = PlaceClusterBitmapStorage(); r != TaskError::kNone) return r;
    if (!mft_.FlushRecordCache()) return Inconsistent("the MFT cannot be written back");
    if (const TaskError r = ResetLogFileIfDirty(); r != TaskError::kNone) return r;
    if (const TaskError r = WriteMftBitmap(); r != TaskError::kNone) return r;
    if (const TaskError r = destination_.WriteMftMirror(); r != TaskError::kNone) return r;
    if (const TaskError r = WriteClusterBitmap(); r != TaskError::kNone) return r;
    // Success is only what reached the disk.
    if (!device_.IsOpen()) return Inconsistent("the destination is not open");
    if (const int flushed = device_.Device()->Flush(); flushed != 0) {
      LogLess("flushing %s failed, error=%d", device_.Device()->Path().c_str(), flushed);
      return TaskError::kWriteFailed;
    }
    LogDebug("destination made consistent: %" PRIu64 " of %" PRIu64 " records in use, %" PRIu64
             " clusters in use",
             inUseRecords_, records_, check_.ClustersInUse());
    return TaskError::kNone;
  }

 private:
  TaskError Walk();
  TaskError CheckRecord(uint64_t n, Bytes record);
  TaskError CheckAttribute(uint64_t n, const ntfs::Attribute& a);
  TaskError Claim(uint64_t n, const std::vector<ntfs::DataRun>& runs);
  TaskError FreeMftExtensionRecords();
  bool FormattedReplacement(uint64_t n, std::vector<std::byte>& out) const;
  TaskError PlaceMovable(uint64_t record, MovableAttribute& attr, uint64_t dataSize,
                         const char* what, std::vector<ntfs::DataRun>& placed);
  TaskError PlaceMftBitmap();
  TaskError PlaceClusterBitmapStorage();
  TaskError ResetLogFileIfDirty();
  TaskError WriteMftBitmap();
  TaskError WriteClusterBitmap();
  bool WriteStream(const std::vector<ntfs::DataRun>& runs, uint64_t offset, Bytes data);

  DiskDevice& device_;
  MftReader& mft_;
  DiskDestination& destination_;
  std::vector<uint64_t> rewritten_;
  Bytes formatted_;
  // Records that continue the source's $MFT: freed after the walk.
  std::vector<uint64_t> extensions_;
  uint64_t volume_;
  uint64_t clusterSize_;
  uint64_t records_ = 0;
  uint64_t inUseRecords_ = 0;
  // The checks the source passed before its backup or copy; it holds the claims.
  VolumeCheck check_;
  std::vector<std::byte> recordBits_;
  MovableAttribute mftBitmap_;
  MovableAttribute clusterBitmap_;
  std::vector<ntfs::DataRun> mftBitmapRuns_;
  std::vector<ntfs::DataRun> logFileRuns_;
  uint64_t logFileSize_ = 0;
};

TaskError Finaliser::Walk() {
  records_ = mft_.MftRecordCount();
  if (records_ == 0 || clusterSize_ == 0) return Inconsistent("the $MFT holds no records");
  recordBits_.assign(CeilDiv(records_, kMftBitmapStep * kBitsPerByte) * kMftBitmapStep,
                     std::byte{0});
  const uint64_t total = records_ * kFileRecordSize;
  std::vector<std::byte> piece(kPieceBytes);
  std::vector<ntfs::VolumeExtent> extents;
  for (uint64_t offset = 0; offset < total; offset += kPieceBytes) {
    const uint64_t length = std::min(kPieceBytes, total - offset);
    extents.clear();
    ntfs::MapStreamRange(mft_.MftRuns(), clusterSize_, offset, length, extents);
    uint64_t covered = 0;
    for (const ntfs::VolumeExtent& e : extents) {
      const auto count = static_cast<uint32_t>(e.length);
      if (e.streamOffset != offset + covered ||
          device_.ReadPointData(piece.data() + covered, count,
                                e.volumeOffset / device_.AddressingSectorSize()) != count) {
        return Inconsistent("the MFT cannot be read at byte %" PRIu64, offset + covered);
      }
      covered += e.length;
    }
    if (covered != length) return Inconsistent("the MFT's runs end before its records");
    for (uint64_t at = 0; at < length; at += kFileRecordSize) {
      const MutableBytes record(piece.data() + at, kFileRecordSize);
      if (const TaskError r = CheckRecord((offset + at) / kFileRecordSize, record);
          r != TaskError::kNone)
        return r;
    }
  }
  return TaskError::kNone;
}

TaskError Finaliser::CheckRecord(uint64_t n, Bytes onDisk) {
  std::vector<std::byte> record;
  const RecordUse use = check_.ExamineRecord(n, onDisk, false, record);
  if (use == RecordUse::kUnused) return TaskError::kNone;
  if (use == RecordUse::kDamaged) return Inconsistent("%s", check_.Why().c_str());
  if (n != 0 && IsMftExtensionRecord(record)) {
    extensions_.push_back(n);
    return TaskError::kNone;
  }
  SetClusterBits(recordBits_, records_, n, 1);
  ++inUseRecords_;
  ntfs::AttributeWalker walk(record);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (n == 0 && a.type == ntfs::kAttrAttributeList) {
      return Inconsistent("record 0 has an attribute list, but the $MFT was given one run");
    }
    if (n == 0 && a.type == kAttrBitmap && a.nameLength == 0) {
      mftBitmap_.found = true;
      mftBitmap_.resident = !a.nonResident;
      mftBitmap_.instance = a.instance;
      Bytes value;
      if (!a.nonResident && ntfs::ResidentValue(a.bytes, value)) {
        mftBitmap_.valueLength = static_cast<uint32_t>(value.size());
      }
    }
    if (!a.nonResident) continue;
    if (const TaskError r = CheckAttribute(n, a); r != TaskError::kNone) return r;
  }
  if (walk.End() != ntfs::WalkEnd::kEndMarker) {
    return Inconsistent("record %" PRIu64 ": %s", n, ntfs::WalkEndText(walk.End()));
  }
  return TaskError::kNone;
}

TaskError Finaliser::CheckAttribute(uint64_t n, const ntfs::Attribute& a) {
  CheckedRuns checked;
  if (!check_.CheckRuns(n, a, checked)) return Inconsistent("%s", check_.Why().c_str());
  if (checked.runs.empty()) return TaskError::kNone;
  const ntfs::NonResidentHeader& header = checked.header;
  std::vector<ntfs::DataRun>& runs = checked.runs;
  if (!IsKept(n) &&
      !std::binary_search(rewritten_.begin(), rewritten_.end(), AttributeKey(n, a.instance))) {
    return Inconsistent("record %" PRIu64 ", attribute %u: its runs never arrived", n,
                        unsigned{a.instance});
  }
  const bool unnamed = a.nameLength == 0;
  if (n == 0 && a.type == kAttrBitmap && unnamed) {
    mftBitmap_.header = header;
    mftBitmap_.runs = std::move(runs);
    return TaskError::kNone;  // placed later, where the new $MFT leaves room
  }
  if (n == kBitmapRecord && a.type == ntfs::kAttrData && unnamed) {
    clusterBitmap_.found = true;
    clusterBitmap_.instance = a.instance;
    clusterBitmap_.header = header;
    clusterBitmap_.runs = std::move(runs);
    return TaskError::kNone;
  }
  if (n == kLogFileRecord && a.type == ntfs::kAttrData && unnamed) {
    logFileRuns_ = runs;
    logFileSize_ = header.dataSize;
  }
  return Claim(n, runs);
}

TaskError Finaliser::Claim(uint64_t n, const std::vector<ntfs::DataRun>& runs) {
  return check_.Claim(n, runs) ? TaskError::kNone : Inconsistent("%s", check_.Why().c_str());
}

bool Finaliser::FormattedReplacement(uint64_t n, std::vector<std::byte>& out) const {
  if (!RangeFits(formatted_.size(), n * kFileRecordSize, kFileRecordSize)) return false;
  const Bytes own = formatted_.subspan(n * kFileRecordSize, kFileRecordSize);
  out.assign(own.begin(), own.end());
  if (!ntfs::ApplyFixup(out) || !ntfs::HasFileSignature(out) || IsMftExtensionRecord(out)) {
    return false;
  }
  const ByteView view(out.data(), out.size());
  if (view.U16(ntfs::kUsaOffsetOffset) >= ntfs::kRecordHeaderSize &&
      ntfs::RecordNumberField(out) != n) {
    return false;
  }
  ntfs::AttributeWalker walk(out);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.nonResident) return false;  // it would name clusters nothing else accounts for
  }
  return walk.End() == ntfs::WalkEnd::kEndMarker;
}

// The source's $MFT extension records: the destination's $MFT is one run in
// record 0, so their extents would name clusters nothing holds, and a reader
// following their base reference would find a record 0 without their
// attributes. Each becomes the destination's own formatted record, or an
// unused one.
TaskError Finaliser::FreeMftExtensionRecords() {
  if (extensions_.empty()) return TaskError::kNone;
  constexpr size_t kSequenceField = 16;
  std::vector<std::byte> replacement;
  for (uint64_t n : extensions_) {
    std::byte* cached = mft_.ReadFileRecord(static_cast<uint32_t>(n), false, true, true);
    if (cached == nullptr) return Inconsistent("record %" PRIu64 " cannot be fetched", n);
    const MutableBytes record(cached, kFileRecordSize);
    if (FormattedReplacement(n, replacement)) {
      std::memcpy(cached, replacement.data(), kFileRecordSize);
      if (ntfs::RecordInUse(record)) {
        SetClusterBits(recordBits_, records_, n, 1);
        ++inUseRecords_;
      }
      LogDebug("record %" PRIu64 ", an extension of the source's $MFT, is as formatted again", n);
      continue;
    }
    // Emptied and unused, with the next sequence number, as a deleted record.
    const uint16_t first = LoadLe16(cached + ntfs::kFirstAttributeOffset);
    if (first < ntfs::kRecordHeaderSize || first + 8u > kFileRecordSize) {
      return Inconsistent("record %" PRIu64 " is damaged", n);
    }
    uint16_t sequence = static_cast<uint16_t>(LoadLe16(cached + kSequenceField) + 1);
    if (sequence == 0) sequence = 1;
    StoreLe16(cached + kSequenceField, sequence);
    StoreLe16(cached + ntfs::kFlagsOffset,
              static_cast<uint16_t>(ntfs::RecordFlags(record) & ~ntfs::kRecordInUse));
    StoreLe64(cached + ntfs::kBaseRecordOffset, 0);
    StoreLe32(cached + first, ntfs::kAttrEnd);
    StoreLe32(cached + first + 4, 0);
    StoreLe32(cached + ntfs::kBytesInUseOffset, first + 8u);
    LogDebug("record %" PRIu64 ", an extension of the source's $MFT, is freed", n);
  }
  if (!mft_.FlushRecordCache()) return Inconsistent("the MFT cannot be written back");
  return TaskError::kNone;
}

// Keeps a kept record's attribute where it is when its clusters are still free
// and hold `dataSize` bytes; otherwise moves it to the first free stretch.
TaskError Finaliser::PlaceMovable(uint64_t record, MovableAttribute& attr, uint64_t dataSize,
                                  const char* what, std::vector<ntfs::DataRun>& placed) {
  const uint64_t needed = std::max<uint64_t>(1, CeilDiv(dataSize, clusterSize_));
  bool keep = ntfs::AllocatedClusters(attr.runs) >= needed;
  for (const ntfs::DataRun& run : attr.runs) {
    keep = keep && !run.sparse && run.lcn < volume_ && run.length <= volume_ - run.lcn &&
           !AnyClusterBit(check_.Claims(), run.lcn, run.length);
  }
  std::byte* cached = mft_.ReadFileRecord(static_cast<uint32_t>(record), false, true, false);
  if (cached == nullptr) return Inconsistent("record %" PRIu64 " cannot be fetched", record);
  const MutableBytes bytes(cached, kFileRecordSize);
  RecordEdit edit;
  if (keep) {
    placed = attr.runs;
    edit = SetNonResidentSizes(bytes, attr.instance, ntfs::AllocatedClusters(placed) * clusterSize_,
                               dataSize, dataSize);
  } else {
    uint64_t first = 0;
    if (!FindClearStretch(check_.Claims(), volume_, needed, first)) {
      return Inconsistent("no %" PRIu64 " free clusters in a row for %s", needed, what);
    }
    RunListChange change;
    change.instance = attr.instance;
    change.firstCluster = first;
    change.clusterCount = needed;
    change.setSizes = true;
    change.clusterBytes = clusterSize_;
    change.dataSize = dataSize;
    change.initializedSize = dataSize;
    std::vector<std::byte> image;
    edit = ChangeRunList(bytes, change, image);
    if (edit == RecordEdit::kOk) std::memcpy(cached, image.data(), kFileRecordSize);
    placed = {ntfs::DataRun{0, needed, first, false}};
    LogDebug("%s moved to clusters %" PRIu64 "..%" PRIu64, what, first, first + needed - 1);
  }
  if (edit != RecordEdit::kOk) {
    return Inconsistent("%s in record %" PRIu64 ": %s", what, record, RecordEditText(edit));
  }
  return Claim(record, placed);
}

TaskError Finaliser::PlaceMftBitmap() {
  if (!mftBitmap_.found) return Inconsistent("record 0 has no $BITMAP");
  if (mftBitmap_.resident) {
    std::vector<std::byte> value(recordBits_);
    if (value.size() < mftBitmap_.valueLength) value.resize(mftBitmap_.valueLength);
    std::byte* cached = mft_.ReadFileRecord(0, false, true, false);
    std::vector<std::byte> image;
    const RecordEdit edit = cached == nullptr ? RecordEdit::kNoRecord
                                              : SetResidentValue(Bytes(cached, kFileRecordSize),
                                                                 mftBitmap_.instance, value, image);
    if (edit != RecordEdit::kOk) {
      return Inconsistent("the $MFT's $BITMAP of %zu bytes: %s", value.size(),
                          RecordEditText(edit));
    }
    std::memcpy(cached, image.data(), kFileRecordSize);
    return TaskError::kNone;
  }
  const uint64_t dataSize = std::max<uint64_t>(
      recordBits_.size(), std::min(mftBitmap_.header.dataSize, mftBitmap_.header.allocatedSize));
  recordBits_.resize(dataSize, std::byte{0});
  return PlaceMovable(0, mftBitmap_, dataSize, "the $MFT's $BITMAP", mftBitmapRuns_);
}

TaskError Finaliser::PlaceClusterBitmapStorage() {
  if (!clusterBitmap_.found) return Inconsistent("record 6 has no $DATA");
  std::vector<ntfs::DataRun> placed;
  if (const TaskError r = PlaceMovable(kBitmapRecord, clusterBitmap_, destination_.BitmapLength(),
                                       "$Bitmap", placed);
      r != TaskError::kNone) {
    return r;
  }
  if (ntfs::AllocatedClusters(placed) * clusterSize_ > destination_.Bitmap().size()) {
    destination_.MutableBitmap().resize(ntfs::AllocatedClusters(placed) * clusterSize_);
  }
  destination_.SetBitmapRuns(std::move(placed));
  return TaskError::kNone;
}

bool Finaliser::WriteStream(const std::vector<ntfs::DataRun>& runs, uint64_t offset, Bytes data) {
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(runs, clusterSize_, offset, data.size(), pieces);
  uint64_t written = 0;
  for (const ntfs::VolumeExtent& piece : pieces) {
    const auto count = static_cast<uint32_t>(piece.length);
    if (device_.WritePointData(data.data() + (piece.streamOffset - offset), count,
                               piece.volumeOffset / device_.AddressingSectorSize()) != count) {
      return false;
    }
    written += piece.length;
  }
  return written == data.size();
}

TaskError Finaliser::ResetLogFileIfDirty() {
  if (logFileRuns_.empty() || logFileSize_ < kLogPageProbe) return TaskError::kNone;
  std::vector<std::byte> page(kLogPageProbe);
  std::vector<ntfs::VolumeExtent> pieces;
  ntfs::MapStreamRange(logFileRuns_, clusterSize_, 0, page.size(), pieces);
  for (const ntfs::VolumeExtent& piece : pieces) {
    const auto count = static_cast<uint32_t>(piece.length);
    if (device_.ReadPointData(page.data() + piece.streamOffset, count,
                              piece.volumeOffset / device_.AddressingSectorSize()) != count) {
      return Inconsistent("the $LogFile cannot be read");
    }
  }
  const LogFileState state = ClassifyLogFileStart(page);
  if (state != LogFileState::kDirty) return TaskError::kNone;
  // A log that asks for a replay would make every reader refuse the volume or
  // replay the source's last moments onto relocated clusters.
  const uint64_t total = ntfs::AllocatedClusters(logFileRuns_) * clusterSize_;
  const std::vector<std::byte> fill(kPieceBytes, kLogResetByte);
  for (uint64_t at = 0; at < total; at += kPieceBytes) {
    const uint64_t n = std::min(kPieceBytes, total - at);
    if (!WriteStream(logFileRuns_, at, Bytes(fill.data(), n))) return TaskError::kWriteFailed;
  }
  LogLess("the copied $LogFile was not clean; it was reset (filled with 0xFF) as ntfsfix does");
  return TaskError::kNone;
}

TaskError Finaliser::WriteMftBitmap() {
  if (mftBitmap_.resident) return TaskError::kNone;
  const uint64_t allocated = ntfs::AllocatedClusters(mftBitmapRuns_) * clusterSize_;
  recordBits_.resize(std::max<uint64_t>(allocated, recordBits_.size()), std::byte{0});
  if (!WriteStream(mftBitmapRuns_, 0, Bytes(recordBits_.data(), allocated))) {
    return TaskError::kWriteFailed;
  }
  return TaskError::kNone;
}

TaskError Finaliser::WriteClusterBitmap() {
  std::vector<std::byte>& bitmap = destination_.MutableBitmap();
  const uint64_t length = destination_.BitmapLength();
  const std::vector<std::byte>& claims = check_.Claims();
  if (length < claims.size() || bitmap.size() < length) {
    return Inconsistent("$Bitmap is shorter than the volume");
  }
  std::fill(bitmap.begin(), bitmap.end(), std::byte{0});
  std::copy(claims.begin(), claims.end(), bitmap.begin());
  // Bits past the last cluster stay set, so that nothing is ever placed there.
  const uint64_t bits = length * kBitsPerByte;
  SetClusterBits(MutableBytes(bitmap.data(), length), bits, volume_, bits - volume_);
  return destination_.WriteBitmap() ? TaskError::kNone : TaskError::kWriteFailed;
}

}  // namespace

TaskError FinaliseDestination(CDisk& disk, DiskDestination& destination,
                              std::vector<uint64_t> rewritten, Bytes formatted) {
  return Finaliser(disk, destination, std::move(rewritten), formatted).Run();
}

LogFileState ClassifyLogFileStart(Bytes page) {
  const ByteView view(page);
  if (!view.Contains(0, kRestartHeaderSize)) return LogFileState::kDirty;
  if (std::all_of(page.begin(), page.end(), [](std::byte b) { return b == kLogResetByte; })) {
    return LogFileState::kEmpty;
  }
  if (!view.Equals(0, kRestartMagic, 4)) return LogFileState::kDirty;
  const uint16_t area = view.U16(kRestartAreaOffsetField);
  if (area < kRestartHeaderSize || !view.Contains(area, kRestartFlagsField + 2)) {
    return LogFileState::kDirty;
  }
  const uint16_t inUse = view.U16(area + kClientInUseListField);
  const uint16_t flags = view.U16(area + kRestartFlagsField);
  return inUse == kLogNoClient || (flags & kRestartVolumeIsClean) != 0 ? LogFileState::kClean
                                                                       : LogFileState::kDirty;
}

}  // namespace stow::engine
