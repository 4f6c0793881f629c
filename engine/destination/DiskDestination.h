// DiskDestination: the destination side of a copy or restore, worked through
// the destination's MftReader and DiskDevice: the cluster bitmap and its free
// extents, the resized $MFT, run-list edits in the record cache, the $MFTMirr
// and the bitmap written back (DiskDestination.cpp). A CDisk (engine/disk/
// Disk.h) owns one beside the parts it works through.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "engine/core/TaskError.h"
#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/ntfs/RunList.h"

namespace stow::engine {

class DiskDevice;
class MftReader;

class DiskDestination {
 public:
  // `mft` must read through `device`; both must outlive this object.
  DiskDestination(MftReader& mft, DiskDevice& device) : mft_(mft), device_(device) {}
  DiskDestination(const DiskDestination&) = delete;
  DiskDestination& operator=(const DiskDestination&) = delete;
  DiskDestination(DiskDestination&&) = delete;
  DiskDestination& operator=(DiskDestination&&) = delete;

  // Reads $Bitmap (entry 6 of the entry list) run by run and builds the
  // free-extent list. False, with no bitmap, when the entry list has fewer than
  // 7 entries or the bitmap cannot be read or does not cover the volume.
  [[nodiscard]] bool LoadBitmap();
  // Frees, in the bitmap, the clusters of the destination's own records that
  // the copied ones replace (every record of the entry list but 0, 6, 7 and 8),
  // and rebuilds the free-extent list. Returns the clusters freed.
  uint64_t ReleaseReplacedMetadata();
  // Takes the MFT zone [M, M + zone clusters) out of the free-extent list.
  void ReserveMftZone(uint64_t zoneClusters);
  // TaskError::kNone when [M, M + clusters) lies inside the volume and holds no
  // cluster in use but the $MFT's own and those the fix-up moves ($Bitmap, the
  // $MFT's $BITMAP); else kMftZoneInUse, logged.
  [[nodiscard]] TaskError CheckMftRange(uint64_t clusters);
  // Gives record 0's $DATA the one run [M, M + clusters) with the sizes given,
  // writes it back and reloads record 0 and entry 0: TaskError::kNone, or
  // kDestinationInconsistent, logged.
  [[nodiscard]] TaskError ResizeDestinationMft(uint64_t clusters, uint64_t dataSize,
                                               uint64_t initializedSize);
  // True with the clusters granted, or false when the free-extent list is empty.
  [[nodiscard]] bool AllocateClusters(uint64_t wanted, uint64_t& first, uint64_t& granted);
  // Marks clusters in use in the bitmap kept in memory (cannot fail).
  void MarkClustersUsed(uint64_t first, uint64_t count);
  // Rewrites the run list of one attribute of a record in the record cache.
  [[nodiscard]] RecordEdit ChangeFileAttr(uint64_t record, uint16_t instance, uint64_t first,
                                          uint64_t count, bool append);
  // Copies the first records of the MFT into the $MFTMirr's clusters as record 1
  // names them, and points the boot sector and its backup at them:
  // TaskError::kNone, kDestinationInconsistent or kWriteFailed.
  [[nodiscard]] TaskError WriteMftMirror();
  // Writes the bitmap back run by run: false without a bitmap or on a failed write.
  [[nodiscard]] bool WriteBitmap();

  // The volume's cluster bitmap, its length in bytes (the buffer may be longer:
  // it holds whole clusters) and the runs of $Bitmap's data.
  const std::vector<std::byte>& Bitmap() const { return bitmap_; }
  std::vector<std::byte>& MutableBitmap() { return bitmap_; }
  uint64_t BitmapLength() const { return bitmapLength_; }
  const std::vector<ntfs::DataRun>& BitmapRuns() const { return bitmapRuns_; }
  void SetBitmapRuns(std::vector<ntfs::DataRun> runs) { bitmapRuns_ = std::move(runs); }
  FreeExtentList& FreeExtents() { return freeExtents_; }

 private:
  MftReader& mft_;
  DiskDevice& device_;
  std::vector<std::byte> bitmap_;
  uint64_t bitmapLength_ = 0;
  std::vector<ntfs::DataRun> bitmapRuns_;
  FreeExtentList freeExtents_;
};

}  // namespace stow::engine
