// WritePartitionThread: the writer of copy and restore. It keeps the
// destination's own $MFT location, $Bitmap, $Boot and $BadClus, writes the
// source's file records into the destination's MFT (made large enough first),
// places every other run wherever the destination has free clusters and
// rewrites the run lists to match. At the end the finaliser makes the volume
// consistent without a disk check.
//
// With verification, every chunk of data written verbatim is noted (where,
// how long, its hash) and read back from the storage once the volume is
// finalised; a difference fails the task.
//
// Every doubt about the stream (a first slot that is not the $MFT, a chunk out
// of step, a run list that no longer fits its record, a full destination) ends
// the task with an error code: a volume written from a doubtful stream would
// mount and lose data later.
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
#include "support/Enums.h"
#include "support/Log.h"

namespace stow::engine {
namespace writer {

using namespace std::chrono_literals;

TaskError PartitionWriter::Fail(TaskError code, std::string detail) {
  LogLess("in write thread, %s", detail.c_str());
  if (detail_.empty()) detail_ = std::move(detail);
  return code;
}

TaskError PartitionWriter::StreamError(const char* why, const TransferSlot* slot) {
  if (detail_.empty()) {
    detail_ = slot == nullptr ? std::string(why)
                              : "MFT record " + std::to_string(slot->recordNumber) +
                                    " of the source, attribute " +
                                    std::to_string(slot->attributeInstance) + ": " + why;
  }
  if (slot != nullptr) {
    LogLess("in write thread, record 0x%" PRIx64 ", attribute %u, run %u at sector %" PRIu64 ": %s",
            slot->recordNumber, unsigned{slot->attributeInstance}, unsigned{slot->runIndex},
            slot->runOffset, why);
  } else {
    LogLess("in write thread, %s", why);
  }
  return restore_ ? TaskError::kImageDamaged : TaskError::kDestinationInconsistent;
}

void PartitionWriter::WaitForReaderEnd() {
  while (state_.ReaderRunning()) std::this_thread::sleep_for(io_.endPoll);
}

// Stops the reader, waits until it no longer touches the ring, and frees it.
void PartitionWriter::EndAfterFailure(TaskError code) {
  state_.SetFirstError(code, detail_);
  state_.stopFlag.store(true);
  WaitForReaderEnd();
  ring_.Teardown();
}

void PartitionWriter::UnlockDestination() {
  if (!disk_.Device().UnlockDisk()) LogLess("in write thread, unlocking the destination failed");
}

bool PartitionWriter::WaitForReader() {
  // The reader starts first; it may even have ended already with slots waiting.
  const auto deadline = std::chrono::steady_clock::now() + io_.partnerWait * 10;
  while (!state_.ReaderRunning() && ring_.Count() == 0 &&
         std::chrono::steady_clock::now() < deadline) {
    if (state_.ErrorCode() != TaskError::kRunning) break;
    std::this_thread::sleep_for(kPartnerPoll);
  }
  return state_.ReaderRunning() || ring_.Count() > 0;
}

TaskError PartitionWriter::OpenDestination() {
  const TaskError opened = io_.openVolume(state_.Description()->destination, false, disk_);
  if (opened != TaskError::kNone) {
    LogLess("in write thread init disk error=%d", TaskErrorCode(opened));
    return opened;
  }
  std::string why;
  uint64_t total = 0;
  const DiskResult check = disk_.Mft().CheckNtfsVolume(&why);
  if (check != DiskResult::kOk ||
      disk_.Mft().BuildEntryList(total, false, kEntryListRecords) == 0 ||
      !destination_.LoadBitmap()) {
    const DiskResult failed = check != DiskResult::kOk ? check : DiskResult::kUnsupportedVolume;
    LogLess("in write thread init disk error=%d", ToInt(failed));
    if (!why.empty()) LogLess("in write thread, the destination: %s", why.c_str());
    return TaskErrorOf(failed);
  }
  sectorsPerCluster_ = disk_.Device().SectorsPerCluster();
  clusterSize_ = disk_.Device().ClusterSize();
  if (const DiskResult lock = disk_.Device().LockDisk(); lock != DiskResult::kOk) {
    LogLess("in write thread lock disk error=%d", ToInt(lock));
    return TaskErrorOf(lock);
  }
  locked_ = true;
  const uint64_t freed = destination_.ReleaseReplacedMetadata();
  LogDebug("in write thread, %" PRIu64 " clusters of the destination's replaced metadata are free",
           freed);
  return TaskError::kNone;
}

// What the destination must hold: for a restore the image's data; for a copy
// the clusters the source has in use, because the progress total of a copy
// counts sparse and compressed files at their full size, and a copy that fits
// would otherwise be refused.
uint64_t PartitionWriter::NeededSectors() {
  const uint64_t total = state_.totalSectors.load();
  if (restore_) return total;
  CDisk source;
  DiskDestination bitmap(source.Mft(), source.Device());
  uint64_t ignored = 0;
  if (io_.openVolume(state_.Description()->source, true, source) != TaskError::kNone ||
      source.Mft().BuildEntryList(ignored, false, kBitmapEntries) == 0 || !bitmap.LoadBitmap()) {
    return total;
  }
  const uint64_t used = CountClusterBits(bitmap.Bitmap(), source.Mft().VolumeClusterCount());
  return std::min(total, used * source.Device().SectorsPerCluster());
}

// The index of the first slot, or -1 when the reader ended without one.
int PartitionWriter::TakeFirstSlot() {
  for (;;) {
    int i = ring_.ConsumerSlot();
    if (i >= 0) return i;
    if (!state_.ReaderRunning()) return ring_.ConsumerSlot();
    if (!ring_.WaitForSignal(std::nullopt)) std::this_thread::sleep_for(kPartnerPoll);
  }
}

TaskError PartitionWriter::WriteChunk(const TransferSlot& slot, const std::byte* data,
                                      uint64_t sectors) {
  const auto bytes = static_cast<uint32_t>(sectors * kSectorBytes);
  const uint64_t at = allocFirst_ * sectorsPerCluster_ + allocSectorOffset_;
  const uint32_t written = disk_.Device().WritePointData(data, bytes, at);
  if (written != bytes) {
    LogLess("WritePointData write mftNo :0x%x fail ,len=%d ,write=%d",
            static_cast<unsigned>(slot.recordNumber & 0xFFFFFFFFu), static_cast<int>(bytes),
            static_cast<int>(written));
    return TaskError::kWriteFailed;
  }
  if (verify_.enabled && slot.recordNumber > kLastRewrittenRecord) {
    written_.push_back(WrittenRange{at * disk_.Device().AddressingSectorSize(), bytes,
                                    Xxh3(AsBytes(data, bytes)), slot.recordNumber});
  }
  state_.bytesDone.fetch_add(bytes);
  allocSectorOffset_ += sectors;
  allocSectorsLeft_ -= sectors;
  return TaskError::kNone;
}

bool PartitionWriter::SameAttribute(const TransferSlot& slot) const {
  return haveAttribute_ && attrRecord_ == slot.recordNumber &&
         attrInstance_ == slot.attributeInstance;
}

// The first run of an attribute replaces the source's run list; the next runs
// of the same attribute are appended to it.
void PartitionWriter::NoteAttribute(const TransferSlot& slot) {
  if (SameAttribute(slot)) return;
  haveAttribute_ = true;
  attrRecord_ = slot.recordNumber;
  attrInstance_ = slot.attributeInstance;
  rewritten_.push_back(AttributeKey(slot.recordNumber, slot.attributeInstance));
}

TaskError PartitionWriter::ChangeRuns(const TransferSlot& slot, uint64_t first, uint64_t count,
                                      bool append) {
  const RecordEdit edit =
      destination_.ChangeFileAttr(slot.recordNumber, slot.attributeInstance, first, count, append);
  if (edit == RecordEdit::kOk) return TaskError::kNone;
  LogLess("in write thread, record 0x%" PRIx64 ", attribute %u: %s", slot.recordNumber,
          unsigned{slot.attributeInstance}, RecordEditText(edit));
  return TaskError::kDestinationInconsistent;
}

TaskError PartitionWriter::Allocate(const TransferSlot& slot, uint64_t wanted, bool append) {
  uint64_t first = 0;
  uint64_t granted = 0;
  if (!destination_.AllocateClusters(wanted, first, granted) || granted == 0) {
    LogLess("in write thread, the destination has no free clusters left for record 0x%" PRIx64,
            slot.recordNumber);
    return TaskError::kDestinationTooSmall;
  }
  destination_.MarkClustersUsed(first, granted);
  allocFirst_ = first;
  allocSectorsLeft_ = granted * sectorsPerCluster_;
  allocSectorOffset_ = 0;
  return ChangeRuns(slot, first, granted, append);
}

TaskError PartitionWriter::StartRun(const TransferSlot& slot) {
  if (inRun_ && runPlaced_ != runLength_) {
    return StreamError("a run ended before all of its data arrived", &slot);
  }
  inRun_ = false;
  if (slot.runLength == 0 || slot.runLength % clusterSize_ != 0) {
    return StreamError("a run is not a whole number of clusters", &slot);
  }
  return TaskError::kNone;
}

TaskError PartitionWriter::PlaceData(const TransferSlot& slot) {
  if (slot.dataLength % kSectorBytes != 0 || slot.runOffset > slot.runLength / kSectorBytes ||
      slot.dataLength > slot.runLength - slot.runOffset * kSectorBytes) {
    return StreamError("a chunk does not fit its run", &slot);
  }
  if (slot.runOffset == 0) {
    if (const TaskError r = StartRun(slot); r != TaskError::kNone) return r;
    const bool append = SameAttribute(slot);
    NoteAttribute(slot);
    if (const TaskError r = Allocate(slot, slot.runLength / clusterSize_, append);
        r != TaskError::kNone)
      return r;
    inRun_ = true;
    runRecord_ = slot.recordNumber;
    runInstance_ = slot.attributeInstance;
    runLength_ = slot.runLength;
    runPlaced_ = 0;
  } else if (!inRun_ || runRecord_ != slot.recordNumber || runInstance_ != slot.attributeInstance ||
             runLength_ != slot.runLength || runPlaced_ != slot.runOffset * kSectorBytes) {
    return StreamError("a chunk does not continue its run", &slot);
  }
  const std::byte* data = slot.buffer.get();
  uint64_t left = slot.dataLength;
  while (left > 0) {
    if (allocSectorsLeft_ == 0) {
      const uint64_t wanted = CeilDiv(runLength_ - runPlaced_, clusterSize_);
      if (const TaskError r = Allocate(slot, wanted, true); r != TaskError::kNone) return r;
    }
    const uint64_t sectors = std::min(left / kSectorBytes, allocSectorsLeft_);
    if (const TaskError r = WriteChunk(slot, data, sectors); r != TaskError::kNone) return r;
    data += sectors * kSectorBytes;
    left -= sectors * kSectorBytes;
    runPlaced_ += sectors * kSectorBytes;
  }
  return TaskError::kNone;
}

TaskError PartitionWriter::PlaceSparse(const TransferSlot& slot) {
  if (const TaskError r = StartRun(slot); r != TaskError::kNone) return r;
  const bool append = SameAttribute(slot);
  NoteAttribute(slot);
  if (const TaskError r = ChangeRuns(slot, 0, slot.runLength / clusterSize_, append);
      r != TaskError::kNone)
    return r;
  // A restore's progress total is the image's size, where a sparse run takes no room.
  if (!restore_) state_.bytesDone.fetch_add(slot.runLength);
  return TaskError::kNone;
}

TaskError PartitionWriter::PlaceSlot(const TransferSlot& slot) {
  const bool newRecord = slot.recordNumber != previousRecord_;
  if (newRecord) {
    state_.filesDone.fetch_add(1);
    previousRecord_ = slot.recordNumber;
  }
  const bool tracked = slot.recordNumber == kMftRecord || mft_->WantsRecords();
  if (!tracked) return slot.dataLength == 0 ? PlaceSparse(slot) : PlaceData(slot);
  if (newRecord && slot.recordNumber != kMftRecord) {
    if (const TaskError r = BeginTrackedRecord(slot.recordNumber); r != TaskError::kNone) return r;
  }
  MftStreamTracker::Role role;
  uint64_t offset = 0;
  std::string why;
  if (const TaskError r = mft_->Classify(MftChunkOf(slot), role, offset, why);
      r != TaskError::kNone)
    return Fail(r, why);
  switch (role) {
    case MftStreamTracker::Role::kMft:
      return PlaceMftBytes(slot, offset);
    case MftStreamTracker::Role::kSkip:
      // Another attribute of a $MFT extension record: the destination's record
      // 0 keeps its own, and the record is freed at the end.
      state_.bytesDone.fetch_add(slot.dataLength);
      return TaskError::kNone;
    case MftStreamTracker::Role::kOther:
      break;
  }
  if (!mftDone_) {
    if (const TaskError r = FinishMft(); r != TaskError::kNone) return r;
  }
  return slot.dataLength == 0 ? PlaceSparse(slot) : PlaceData(slot);
}

// The reader has ended and the ring is empty: check the stream was whole and
// make the volume consistent.
TaskError PartitionWriter::FinishStream() {
  std::string why;
  if (const TaskError r = mft_->Finish(why); r != TaskError::kNone) return Fail(r, why);
  if (const TaskError r = FinishMft(); r != TaskError::kNone) return r;
  if (inRun_ && runPlaced_ != runLength_) return StreamError("the last run is incomplete");
  return FinaliseDestination(disk_, destination_, std::move(rewritten_), formatted_);
}

void PartitionWriter::Drain() {
  for (;;) {
    if (state_.ErrorCode() != TaskError::kRunning) return;
    // The reader answers a stop; once it has ended, the writer does.
    if (state_.stopFlag.load() && !state_.ReaderRunning()) {
      state_.SetFirstError(TaskError::kManualStop);
      return;
    }
    int i = ring_.ConsumerSlot();
    if (i < 0) {
      if (state_.ReaderRunning()) {
        if (!ring_.WaitForSignal(kDrainWait)) std::this_thread::sleep_for(1ms);
        continue;
      }
      i = ring_.ConsumerSlot();
      if (i < 0) {
        ring_.Teardown();
        if (state_.ErrorCode() == TaskError::kRunning) {
          if (const TaskError r = FinishStream(); r != TaskError::kNone)
            state_.SetFirstError(r, detail_);
        }
        return;
      }
    }
    const TaskError placed = PlaceSlot(ring_.Slot(i));
    ring_.Release();
    if (placed != TaskError::kNone) {
      EndAfterFailure(placed);
      return;
    }
  }
}

// Reads back every chunk WriteChunk wrote and compares it with what was
// written. The finaliser has run: it writes no cluster a copied run holds.
TaskError PartitionWriter::VerifyDestination() {
  if (verify_.beforeVerify) verify_.beforeVerify(written_);
  uint64_t total = 0;
  for (const WrittenRange& r : written_) total += r.length;
  state_.verifyDone.store(0);
  state_.verifyTotal.store(total);
  state_.phase.store(static_cast<int>(TaskPhase::kVerify));
  LogLess("in write thread, verifying %zu ranges, %" PRIu64 " bytes", written_.size(), total);
  const auto started = std::chrono::steady_clock::now();
  VerifyRun run;
  run.stop = &state_.stopFlag;
  run.done = &state_.verifyDone;
  run.task = restore_ ? "restore" : "copy";
  std::string why;
  const TaskError r = VerifyWrittenRanges(*disk_.Device().Device(), std::move(written_), run, why);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - started)
                      .count();
  LogLess("in write thread, verification ended with %d after %lld ms", TaskErrorCode(r),
          static_cast<long long>(ms));
  if (r == TaskError::kNone || r == TaskError::kManualStop) return r;
  return Fail(r, why);
}

void PartitionWriter::Run() {
  if (!WaitForReader()) {
    if (state_.SetFirstError(restore_ ? TaskError::kImageDamaged
                                      : TaskError::kDestinationInconsistent)) {
      LogLess("in write thread, the reader ended without sending anything");
    }
    ring_.Teardown();
    LogLessText("in write thread, check read thread have stop");
    return;
  }
  if (const TaskError r = OpenDestination(); r != TaskError::kNone) {
    EndAfterFailure(r);
    if (locked_) UnlockDestination();
    return;
  }
  const int first = TakeFirstSlot();
  if (first < 0) {
    // The reader ended (failed, stopped or empty) before it sent anything.
    if (state_.SetFirstError(restore_ ? TaskError::kImageDamaged
                                      : TaskError::kDestinationInconsistent)) {
      LogLess("in write thread, the reader ended without sending the $MFT");
    }
    EndAfterFailure(TaskError::kDestinationInconsistent);
  } else {
    TransferSlot& slot = ring_.Slot(first);
    const uint64_t total = NeededSectors();
    const uint64_t size = destination_.BitmapLength() * 8 * sectorsPerCluster_;
    TaskError r = TaskError::kNone;
    if (slot.recordNumber == kMftRecord && size < total + total / kSizeMarginDivisor) {
      r = TaskError::kDestinationTooSmall;
      LogLessText("in write thread, disk space is not enough!");
    } else {
      state_.filesDone.fetch_add(1);
      previousRecord_ = slot.recordNumber;
      r = PlaceFirstMftChunk(slot);
      ring_.Release();
    }
    if (r != TaskError::kNone) {
      EndAfterFailure(r);
    } else {
      Drain();
      if (state_.ErrorCode() != TaskError::kRunning) {
        EndAfterFailure(state_.ErrorCode());
      } else if (verify_.enabled) {
        if (const TaskError v = VerifyDestination(); v != TaskError::kNone) {
          state_.SetFirstError(v, detail_);
        }
      }
    }
  }
  UnlockDestination();
  state_.SetFirstError(TaskError::kSuccess);
  LogDebugText("write partition thread exit!");
}

}  // namespace writer

void RunPartitionWriter(TaskState& state, const RestoreIo& io) {
  writer::PartitionWriter(state, io).Run();
}

void WritePartitionThread(TaskState& state) { RunPartitionWriter(state, RestoreIo::Default()); }

}  // namespace stow::engine
