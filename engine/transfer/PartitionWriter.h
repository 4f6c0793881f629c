// The partition writer of copy and restore (PartitionWriterThread.cpp), shared
// with the file that places the source's $MFT (PartitionWriterMft.cpp).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/destination/DestinationVerify.h"
#include "engine/destination/DiskDestination.h"
#include "engine/disk/Disk.h"
#include "engine/image/MftExtents.h"
#include "engine/transfer/RestoreWorkers.h"
#include "engine/transfer/TaskState.h"

namespace stow::engine::writer {

constexpr uint64_t kMftRecord = 0;
// The first $MFT chunk must hold the 24 records the entry list covers.
constexpr uint32_t kMinFirstMftChunk = 0x6000;
constexpr uint64_t kEntryListRecords = 24;
// Records 0 to 6: enough to find a volume's $Bitmap.
constexpr uint64_t kBitmapEntries = 7;
// The destination keeps its own $MFT, $Bitmap, $Boot and $BadClus records.
constexpr uint64_t kSubstitutedRecords[] = {0, 6, 7, 8};
// The last record whose data the finaliser may write again after the writer:
// the $MFTMirr (record 1) and the $LogFile (record 2). Their chunks are not
// read back; the $MFT and its mirror are covered by the finaliser's own
// consistency checks and the disk check that follows the task.
constexpr uint64_t kLastRewrittenRecord = 2;
constexpr uint64_t kSectorBytes = 512;
constexpr auto kDrainWait = std::chrono::milliseconds(200);
constexpr auto kPartnerPoll = std::chrono::milliseconds(10);
// The destination must exceed the data by a twentieth.
constexpr uint64_t kSizeMarginDivisor = 20;

inline uint64_t CeilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

inline MftChunk MftChunkOf(const TransferSlot& slot) {
  MftChunk chunk;
  chunk.recordNumber = slot.recordNumber;
  chunk.attributeInstance = slot.attributeInstance;
  chunk.runLength = slot.runLength;
  chunk.runOffset = slot.runOffset;
  chunk.dataLength = slot.dataLength;
  return chunk;
}

class PartitionWriter {
 public:
  PartitionWriter(TaskState& state, const RestoreIo& io)
      : state_(state),
        ring_(state.Ring()),
        io_(io),
        restore_(state.Kind() == TaskKind::kRestore),
        verify_(state.Description()->verify) {}

  void Run();

 private:
  [[nodiscard]] bool WaitForReader();
  [[nodiscard]] TaskError OpenDestination();
  uint64_t NeededSectors();
  int TakeFirstSlot();
  [[nodiscard]] TaskError PlaceFirstMftChunk(TransferSlot& slot);
  void Drain();
  [[nodiscard]] TaskError FinishStream();
  [[nodiscard]] TaskError VerifyDestination();
  [[nodiscard]] TaskError PlaceSlot(const TransferSlot& slot);
  [[nodiscard]] TaskError FinishMft();
  [[nodiscard]] TaskError BeginTrackedRecord(uint64_t record);
  [[nodiscard]] TaskError PlaceMftBytes(const TransferSlot& slot, uint64_t offset);
  [[nodiscard]] TaskError Fail(TaskError code, std::string detail);
  [[nodiscard]] TaskError PlaceData(const TransferSlot& slot);
  [[nodiscard]] TaskError PlaceSparse(const TransferSlot& slot);
  [[nodiscard]] TaskError StartRun(const TransferSlot& slot);
  [[nodiscard]] TaskError Allocate(const TransferSlot& slot, uint64_t wanted, bool append);
  [[nodiscard]] TaskError ChangeRuns(const TransferSlot& slot, uint64_t first, uint64_t count,
                                     bool append);
  bool SameAttribute(const TransferSlot& slot) const;
  void NoteAttribute(const TransferSlot& slot);
  [[nodiscard]] TaskError WriteChunk(const TransferSlot& slot, const std::byte* data,
                                     uint64_t sectors);
  [[nodiscard]] TaskError StreamError(const char* why, const TransferSlot* slot = nullptr);
  void WaitForReaderEnd();
  void EndAfterFailure(TaskError code);
  void UnlockDestination();

  TaskState& state_;
  TransferRing& ring_;
  const RestoreIo& io_;
  const bool restore_;
  const VerifyOptions verify_;
  CDisk disk_;
  // The destination's fix-up, working through the parts of disk_.
  DiskDestination destination_{disk_.Mft(), disk_.Device()};
  bool locked_ = false;
  uint64_t sectorsPerCluster_ = 0;
  uint64_t clusterSize_ = 0;
  // The current allocation: where the next sectors go and how many are left.
  uint64_t allocFirst_ = 0;
  uint64_t allocSectorsLeft_ = 0;
  uint64_t allocSectorOffset_ = 0;
  // The run being placed.
  bool inRun_ = false;
  uint64_t runRecord_ = 0;
  uint16_t runInstance_ = 0;
  uint64_t runLength_ = 0;
  uint64_t runPlaced_ = 0;
  // The attribute whose run list is being rebuilt.
  bool haveAttribute_ = false;
  uint64_t attrRecord_ = 0;
  uint16_t attrInstance_ = 0;
  uint64_t previousRecord_ = UINT64_MAX;
  bool mftDone_ = false;
  // Where each chunk of the source's $MFT belongs; set by the first chunk.
  std::optional<MftStreamTracker> mft_;
  // The clusters of the destination's resized $MFT.
  uint64_t mftClusters_ = 0;
  // The destination's first records as formatted (on-disk form), before the
  // source's replace them.
  std::vector<std::byte> formatted_;
  std::vector<uint64_t> rewritten_;
  // What the first error was about, for the task's error detail.
  std::string detail_;
  // With verification: every chunk written by WriteChunk, to be read back.
  std::vector<WrittenRange> written_;
};

}  // namespace stow::engine::writer
