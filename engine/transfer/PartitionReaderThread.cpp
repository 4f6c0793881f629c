// ReadPartitionThread: the reader of a copy and of a backup. It walks the source
// volume's entry list and sends every run of every non-resident attribute into
// the transfer ring: a sparse run as one slot without data, any other run as
// slots of at most 4 MiB read straight into the slot's buffer.
//
// The writer lays the slots out as the image's blocks, so the stream must be
// complete: a run that cannot be read, or a run list that cannot be walked,
// ends the task with an error instead of leaving a hole that would shift every
// block after it.
#include <cinttypes>
#include <string>
#include <thread>

#include "engine/check/SourceCheck.h"
#include "engine/disk/Disk.h"
#include "engine/image/ImageSurvey.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "engine/ntfs/SentRuns.h"
#include "engine/transfer/TaskState.h"
#include "engine/transfer/Workers.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

using namespace std::chrono_literals;

constexpr int kWriterWaitRounds = 10;
constexpr auto kWriterWaitRound = 100ms;
// A full ring means the writer is busy with 40 slots; the reader waits until
// the writer frees one, and looks at the stop flag at least this often.
constexpr auto kFullRingWait = 10ms;
constexpr uint64_t kSectorBytes = 512;

// The clusters the device holds, by the boot sector's cluster size.
uint64_t ReaderVolumeClusters(const DiskDevice& device) {
  return device.SectorsPerCluster() == 0 || device.Device() == nullptr
             ? 0
             : device.Device()->Size() / device.ClusterSize();
}

// Which records, attributes and runs are sent: engine/ntfs/SentRuns.h.
class PartitionReader {
 public:
  PartitionReader(TaskState& state, DiskDevice& device)
      : state_(state),
        ring_(state.Ring()),
        device_(device),
        sectorsPerCluster_(device.ClusterSize() / kSectorBytes),
        volumeClusters_(ReaderVolumeClusters(device)) {}

  // Sends every entry's runs, until the end, a stop or a failure.
  void SendEntries(const std::vector<FileEntry>& entries) {
    for (const FileEntry& entry : entries) {
      if (IsUnsentRecord(entry.recordNumber)) continue;
      if (state_.stopFlag.load()) break;
      for (const std::vector<std::byte>& attribute : entry.attributes) {
        if (SendAttribute(entry.recordNumber, attribute) != SentWalk::kGoOn) return;
      }
    }
  }

 private:
  SentWalk SendAttribute(uint64_t record, Bytes attribute) {
    const char* why = nullptr;
    const SentWalk walked = VisitSentRuns(
        record, attribute, volumeClusters_, device_.ClusterSize(), why, [&](const SentRun& run) {
          if (state_.stopFlag.load()) return SentWalk::kStopped;
          return run.sparse
                     ? SendSparseRun(record, run.instance, run.index, run.clusters)
                     : SendDataRun(record, run.instance, run.index, run.firstCluster, run.clusters);
        });
    return walked == SentWalk::kFailed && why != nullptr ? Fail(record, why) : walked;
  }

  SentWalk SendSparseRun(uint64_t record, uint16_t instance, uint16_t index, uint64_t clusters) {
    const int i = AcquireSlot();
    if (i < 0) return SentWalk::kStopped;
    TransferSlot& slot = ring_.Slot(i);
    FillHeader(slot, record, instance, index, clusters * device_.ClusterSize(), 0);
    slot.dataLength = 0;
    ring_.Commit();
    return SentWalk::kGoOn;
  }

  SentWalk SendDataRun(uint64_t record, uint16_t instance, uint16_t index, uint64_t firstCluster,
                   uint64_t clusters) {
    const uint64_t runBytes = clusters * device_.ClusterSize();
    const uint64_t firstSector = firstCluster * sectorsPerCluster_;
    uint64_t remaining = clusters * sectorsPerCluster_;
    uint64_t done = 0;
    while (remaining > 0) {
      if (state_.stopFlag.load()) return SentWalk::kStopped;
      const int i = AcquireSlot();
      if (i < 0) return SentWalk::kStopped;
      TransferSlot& slot = ring_.Slot(i);
      FillHeader(slot, record, instance, index, runBytes, done);
      const uint64_t chunk = std::min<uint64_t>(remaining, kSlotSectors);
      slot.dataLength = static_cast<uint32_t>(chunk * kSectorBytes);
      remaining -= chunk;
      const uint32_t read =
          device_.ReadPointData(slot.buffer.get(), slot.dataLength, firstSector + done);
      if (read != slot.dataLength) {
        LogDebug("ReadPointData read mftNo :0x%x fail ,len=%d ,write=%d",
                 static_cast<unsigned>(record & 0xFFFFFFFFu), static_cast<int>(slot.dataLength),
                 static_cast<int>(read));
        return Fail(record, "a run cannot be read");
      }
      done += chunk;
      ring_.Commit();
    }
    return SentWalk::kGoOn;
  }

  static void FillHeader(TransferSlot& slot, uint64_t record, uint16_t instance, uint16_t index,
                         uint64_t runBytes, uint64_t runOffset) {
    slot.recordNumber = record;
    slot.attributeInstance = instance;
    slot.runIndex = index;
    slot.runLength = runBytes;
    slot.runOffset = runOffset;
  }

  // A free slot, or -1 once the task is being stopped.
  int AcquireSlot() {
    for (;;) {
      const int i = ring_.ProducerSlot();
      if (i >= 0) return i;
      if (state_.stopFlag.load() || !ring_.HasBuffers()) return -1;
      ring_.WaitForFreeSlot(kFullRingWait);
    }
  }

  SentWalk Fail(uint64_t record, const char* why) {
    LogLess("in read thread, record 0x%" PRIx64 ": %s; the backup is incomplete", record, why);
    state_.SetFirstError(TaskError::kSourceReadFailed,
                         "MFT record " + std::to_string(record) + " of the source: " + why);
    return SentWalk::kFailed;
  }

  TaskState& state_;
  TransferRing& ring_;
  DiskDevice& device_;
  uint64_t sectorsPerCluster_;  // 512-byte sectors
  uint64_t volumeClusters_;
};

// Waits for the writer to be running; false when it is not after ten rounds,
// or when it has already failed.
bool WaitForWriter(TaskState& state) {
  for (int round = 0; round < kWriterWaitRounds && !state.WriterRunning(); ++round) {
    if (state.ErrorCode() != TaskError::kRunning) return false;
    std::this_thread::sleep_for(kWriterWaitRound);
  }
  return state.WriterRunning() && state.ErrorCode() == TaskError::kRunning;
}

// Builds the entry list and checks it against the free space; false when the
// task ends here (the error is set).
bool PrepareEntries(TaskState& state, CDisk& disk) {
  state.totalSectors.store(0);
  std::string why;
  if (disk.Mft().CheckNtfsVolume(&why) != DiskResult::kOk) {
    LogLess("in read thread, the source is not a volume this program handles: %s", why.c_str());
    state.SetFirstError(TaskError::kSourceReadFailed,
                        "the source is not an NTFS volume this program "
                        "handles: " +
                            why);
    return false;
  }
  // Nothing is sent from a source that may change under the reader, or whose
  // image the restore would refuse: the checks the task ran before it started
  // are run again here, so the engine alone never writes such an image.
  if (const TaskError code = CheckSourceNotWritable(state.Description()->source, why);
      code != TaskError::kNone) {
    LogLess("in read thread, %s", why.c_str());
    state.SetFirstError(code, why);
    return false;
  }
  if (const TaskError code = CheckSourceRecords(disk, why); code != TaskError::kNone) {
    LogLess("in read thread, %s", why.c_str());
    state.SetFirstError(code, why);
    return false;
  }
  uint64_t total = 0;
  if (disk.Mft().BuildEntryList(total, true, 0) == 0) {
    LogLess("in read thread, the source's MFT cannot be read!");
    state.SetFirstError(TaskError::kSourceReadFailed);
    return false;
  }
  if (disk.Mft().UnreadRecords() != 0) {
    // Their files would be missing from an image that claims to be complete.
    LogLess("in read thread, %" PRIu64 " records of the source's MFT cannot be read!",
            disk.Mft().UnreadRecords());
    state.SetFirstError(TaskError::kSourceReadFailed);
    return false;
  }
  state.totalSectors.store(total);
  // What the image takes: every run its block record, sparse runs nothing more.
  const uint64_t limit = state.freeSpaceLimit.load();
  const uint64_t imageBytes =
      limit == 0 ? 0
                 : ImageSizeOfEntries(disk.Mft().Entries(), disk.Device().ClusterSize(),
                                      ReaderVolumeClusters(disk.Device()));
  if (limit != 0 && imageBytes > limit * kSectorBytes) {
    // The error is set before the reader ends, so that a writer that sees the
    // reader gone never takes the task for finished.
    state.SetFirstError(TaskError::kSpaceNotEnough,
                        "the image needs " + std::to_string(imageBytes) +
                            " bytes; the target has " + std::to_string(limit * kSectorBytes) +
                            " bytes free");
    state.Ring().CloseSignal();
    LogLess("in read thread, check free space is not enough!");
    return false;
  }
  return true;
}

}  // namespace

void RunPartitionReader(TaskState& state, const WorkerIo& io) {
  state.filesDone.store(0);
  state.entryTotal.store(0);
  state.bytesDone.store(0);
  state.recordCount.store(0);

  CDisk disk;
  const TaskError opened = io.openVolume(state.Description()->source, true, disk);
  if (opened != TaskError::kNone) {
    state.SetFirstError(opened);
    LogLess("in read thread, disk init error=%d!", TaskErrorCode(opened));
    return;
  }
  if (!WaitForWriter(state)) {
    state.Ring().CloseSignal();
    LogLess("in read thread, check write thread had stopped!");
    return;
  }
  if (!PrepareEntries(state, disk)) return;
  state.recordCount.store(disk.Mft().MftRecordCount());
  state.entryTotal.store(disk.Mft().Entries().size());

  PartitionReader reader(state, disk.Device());
  reader.SendEntries(disk.Mft().Entries());
  // A stop seen anywhere in the walk, also inside the last entry's runs, ends
  // the task as stopped: the stream is incomplete.
  if (state.stopFlag.load()) state.SetFirstError(TaskError::kManualStop);
  LogDebugText("read partition thread exit!");
}

void ReadPartitionThread(TaskState& state) { RunPartitionReader(state, WorkerIo::Default()); }

}  // namespace stow::engine
