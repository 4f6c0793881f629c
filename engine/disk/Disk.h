// CDisk: raw access to one volume or one physical disk, and the NTFS state built
// on it. A CDisk is owned by one thread and never shared.
//
// It is built in layers, one class each:
//   DiskDevice  (DiskDevice.h)  opening, positioned reads and writes, locking,
//                               the boot sector, MBR, EBR and GPT tables
//   MftReader   (MftReader.h)   the MFT reader: record cache, entry list, totals
//   CDisk       (here)          the destination fix-up (destination/DiskDestination.cpp):
//                               bitmap, free extents, run lists, the resized
//                               $MFT and its mirror
// The destination's types are only named here, so that the disk's includers
// do not see the destination's headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/disk/MftReader.h"
#include "engine/ntfs/RunList.h"

namespace stow::engine {

class FreeExtentList;
enum class RecordEdit;
struct DiskDestinationState;

class CDisk : public MftReader {
 public:
  CDisk();
  ~CDisk();
  CDisk(const CDisk&) = delete;
  CDisk& operator=(const CDisk&) = delete;

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
  // 0 when [M, M + clusters) lies inside the volume and holds no cluster in use
  // but the $MFT's own and those the fix-up moves ($Bitmap, the $MFT's
  // $BITMAP); else a task error code, logged.
  [[nodiscard]] int CheckMftRange(uint64_t clusters);
  // Gives record 0's $DATA the one run [M, M + clusters) with the sizes given,
  // writes it back and reloads record 0 and entry 0: 0, or a task error code.
  [[nodiscard]] int ResizeDestinationMft(uint64_t clusters, uint64_t dataSize,
                                         uint64_t initializedSize);
  // Writes `length` bytes at `offset` of the $MFT through its runs and keeps the
  // record cache's copy of them the same: true when every byte was written.
  [[nodiscard]] bool WriteMftBytes(uint64_t offset, const std::byte* data, uint32_t length);
  // 1 with the clusters granted, or 0 when the free-extent list is empty.
  [[nodiscard]] int AllocateClusters(uint64_t wanted, uint64_t& first, uint64_t& granted);
  // Marks clusters in use in the bitmap kept in memory (cannot fail).
  void MarkClustersUsed(uint64_t first, uint64_t count);
  // Rewrites the run list of one attribute of a record in the record cache.
  [[nodiscard]] RecordEdit ChangeFileAttr(uint64_t record, uint16_t instance, uint64_t first,
                                          uint64_t count, bool append);
  // Copies the first records of the MFT into the $MFTMirr's clusters as record 1
  // names them, and points the boot sector and its backup at them: 0, or a task
  // error code.
  [[nodiscard]] int WriteMftMirror();
  // Writes the bitmap back run by run: 1, or 0 without a bitmap or on a failed write.
  [[nodiscard]] int WriteBitmap();
  const std::vector<std::byte>& Bitmap() const;
  std::vector<std::byte>& MutableBitmap();
  uint64_t BitmapLength() const;
  const std::vector<ntfs::DataRun>& BitmapRuns() const;
  void SetBitmapRuns(std::vector<ntfs::DataRun> runs);
  FreeExtentList& FreeExtents();

 private:
  // Destination state (DiskDestination.cpp): the volume's cluster bitmap, its
  // length in bytes, the runs of $Bitmap's data and the free extents.
  std::unique_ptr<DiskDestinationState> destination_;
};

}  // namespace stow::engine
