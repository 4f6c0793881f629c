// The partition writer's placement of the source's $MFT: the first chunk
// sizes the destination's $MFT and brings the records the entry list covers;
// the later chunks go where the stream tracker says, extension records'
// extents included.
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "engine/destination/DestinationVerify.h"
#include "engine/destination/DiskDestination.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/destination/VolumeFinaliser.h"
#include "engine/disk/Disk.h"
#include "engine/image/ImageChecksums.h"
#include "engine/image/MftExtents.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/transfer/PartitionWriter.h"
#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/Workers.h"
#include "support/Log.h"

namespace stow::engine::writer {

TaskError PartitionWriter::PlaceFirstMftChunk(TransferSlot& slot) {
  if (slot.recordNumber != kMftRecord || slot.runOffset != 0 || slot.dataLength == 0) {
    return StreamError("the stream does not begin with the $MFT", &slot);
  }
  if (slot.dataLength < kMinFirstMftChunk) {
    LogLessText("in write thread, mft count is too small!");
    return Fail(TaskError::kSourceMftUnsupported,
                "MFT record 0 of the source: the $MFT's first run holds fewer than the 24 "
                "records every NTFS volume has");
  }
  SourceMftLayout layout;
  std::string why;
  if (const TaskError r = ReadSourceMftLayout(slot.Data(), slot.runLength, layout, why);
      r != TaskError::kNone) {
    return Fail(r, why);
  }
  if (layout.clusterSize != clusterSize_ && restore_) {
    // The destination was formatted with the cluster size the image's header
    // gives: a $MFT that disagrees means the image itself is damaged.
    return Fail(TaskError::kImageDamaged, "the image's header gives " +
                                              std::to_string(clusterSize_) +
                                              "-byte clusters, but the $MFT it carries has " +
                                              std::to_string(layout.clusterSize) +
                                              "-byte clusters; restore from another image");
  }
  if (layout.clusterSize != clusterSize_) {
    return Fail(TaskError::kClusterSizeMismatch,
                "the source's clusters are " + std::to_string(layout.clusterSize) +
                    " bytes, the destination's " + std::to_string(clusterSize_) +
                    " bytes: format the destination with " + std::to_string(layout.clusterSize) +
                    "-byte clusters");
  }
  mft_.emplace(layout);
  uint64_t records = state_.recordCount.load();
  if (records == 0) records = layout.dataSize / kFileRecordSize;
  // Room for every record the source has, and for everything its extents send;
  // one run, so that record 0 needs no attribute list whatever the source had.
  const uint64_t clusters = ResizedMftClusters(records, sectorsPerCluster_, layout.totalClusters);
  if (const TaskError r = destination_.CheckMftRange(clusters); r != TaskError::kNone) {
    return Fail(r, "the destination has no room for the source's $MFT of " +
                       std::to_string(records) + " records in one run of " +
                       std::to_string(clusters) + " clusters from its $MFT's cluster " +
                       std::to_string(disk_.Device().MftCluster()) +
                       ": clusters there are in use; restore or copy onto a larger volume");
  }
  // The destination's own first records, for the source's $MFT extension
  // records that the finaliser gives back.
  formatted_.assign(kEntryListRecords * kFileRecordSize, std::byte{0});
  for (uint64_t record = 1; record < kEntryListRecords; ++record) {
    const std::byte* own =
        disk_.Mft().ReadFileRecord(static_cast<uint32_t>(record), false, true, true);
    if (own == nullptr) continue;
    std::byte* copy = formatted_.data() + record * kFileRecordSize;
    std::memcpy(copy, own, kFileRecordSize);
    if (!ntfs::UndoFixup(MutableBytes(copy, kFileRecordSize))) {
      return StreamError("the destination's own records cannot be put back in on-disk form");
    }
  }
  destination_.ReserveMftZone(
      MftZoneClusters(disk_.Mft().Entries().size() + records, sectorsPerCluster_, clusters));
  if (const TaskError r =
          destination_.ResizeDestinationMft(clusters, layout.dataSize, layout.initializedSize);
      r != TaskError::kNone) {
    return r;
  }
  for (uint64_t record : kSubstitutedRecords) {
    const std::byte* own =
        disk_.Mft().ReadFileRecord(static_cast<uint32_t>(record), false, true, true);
    if (own == nullptr) return StreamError("the destination's own records cannot be read");
    std::vector<std::byte> onDisk(own, own + kFileRecordSize);
    if (!ntfs::UndoFixup(onDisk)) {
      return StreamError("the destination's own records cannot be put back in on-disk form");
    }
    std::memcpy(slot.buffer.get() + record * kFileRecordSize, onDisk.data(), kFileRecordSize);
  }
  mftClusters_ = clusters;
  MftStreamTracker::Role role;
  uint64_t offset = 0;
  if (const TaskError r = mft_->Classify(MftChunkOf(slot), role, offset, why);
      r != TaskError::kNone)
    return Fail(r, why);
  if (const TaskError r = PlaceMftBytes(slot, offset); r != TaskError::kNone) return r;
  if (!disk_.Mft().LoadRecordCache()) return StreamError("the written $MFT cannot be read back");
  return TaskError::kNone;
}

TaskError PartitionWriter::FinishMft() {
  if (!mft_->Complete()) {
    if (!mft_->Layout().HasExtensions()) {
      LogLess("in write thread, the $MFT arrived with %" PRIu64 " of its %" PRIu64 " bytes",
              mft_->PlacedBytes(), mft_->Layout().TotalBytes());
      return StreamError("the $MFT is incomplete");
    }
    // The rest comes with the extension records; the records before them are
    // placed meanwhile, each once the part of the $MFT that holds it is there.
    return TaskError::kNone;
  }
  mftDone_ = true;
  return TaskError::kNone;
}

// A new record of a source whose $MFT has extents: it may be one of them, and
// it must already be on the destination before its runs can be rewritten.
TaskError PartitionWriter::BeginTrackedRecord(uint64_t record) {
  Bytes bytes;
  if (record <= UINT32_MAX && mft_->RecordPlaced(record)) {
    const std::byte* cached =
        disk_.Mft().ReadFileRecord(static_cast<uint32_t>(record), false, true, true);
    if (cached != nullptr) bytes = Bytes(cached, kFileRecordSize);
  }
  std::string why;
  if (const TaskError r = mft_->BeginRecord(record, bytes, why); r != TaskError::kNone)
    return Fail(r, why);
  return TaskError::kNone;
}

TaskError PartitionWriter::PlaceMftBytes(const TransferSlot& slot, uint64_t offset) {
  const uint64_t length = slot.dataLength;
  if (length % kSectorBytes != 0 || offset > mftClusters_ * clusterSize_ ||
      length > mftClusters_ * clusterSize_ - offset) {
    return StreamError("the $MFT is larger than its record 0 said", &slot);
  }
  if (!disk_.Mft().WriteMftBytes(offset, slot.buffer.get(), static_cast<uint32_t>(length))) {
    LogLess("WritePointData write mftNo :0x%x fail ,len=%d ,write=%d",
            static_cast<unsigned>(slot.recordNumber & 0xFFFFFFFFu), static_cast<int>(length), 0);
    return Fail(TaskError::kWriteFailed, "the destination's $MFT cannot be written at byte " +
                                             std::to_string(offset) + " of it");
  }
  state_.bytesDone.fetch_add(length);
  mft_->Placed(offset, length, offset);
  return TaskError::kNone;
}

}  // namespace stow::engine::writer
