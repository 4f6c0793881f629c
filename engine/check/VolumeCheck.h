// The consistency checks every MFT must pass for the engine to place its files:
// run on the source before a backup or copy writes anything, and on the
// destination before the finaliser writes the bitmaps. One implementation, so
// that an image the backup calls complete passes the checks its restore makes.
//
// Per record (as the $MFT holds it, in on-disk form, at its position):
//   - a record in use (the in-use flag set; with no "FILE" signature, also the
//     $MFT's $BITMAP bit) has a valid fix-up: every 512-byte block ends in the
//     sequence number;
//   - where the header has a record-number field, it gives the record's position;
//   - its attribute walk ends at the end marker;
//   - every non-resident attribute's run list decodes, and its runs cover the
//     VCNs its header names.
// Over the volume: every cluster a run names lies inside the volume and is
// named once.
//
// Pure logic over bytes: the callers read the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"

namespace stow::engine {

enum class RecordUse {
  kUnused,   // no "FILE" signature or the in-use flag clear: holds no file
  kInUse,    // a well-formed header with a valid fix-up
  kDamaged,  // in use, but it cannot be read whole (Why() says how)
};

// The run list of one non-resident attribute, decoded and checked.
struct CheckedRuns {
  ntfs::NonResidentHeader header;
  std::vector<ntfs::DataRun> runs;
};

class VolumeCheck {
 public:
  explicit VolumeCheck(uint64_t volumeClusters);

  // The header and fix-up of the record at `position`. `markedInUse` is its bit
  // in the $MFT's $BITMAP (pass false where the bitmap is not consulted). For
  // kInUse, `record` receives the record with the fix-up applied.
  RecordUse ExamineRecord(uint64_t position, Bytes onDisk, bool markedInUse,
                          std::vector<std::byte>& record);

  // Decodes the run list of the non-resident attribute `a` of record `position`
  // and checks that the runs cover its VCNs. False, with Why(), otherwise.
  [[nodiscard]] bool CheckRuns(uint64_t position, const ntfs::Attribute& a, CheckedRuns& out);

  // Claims the clusters of `runs` for record `position`. False, with Why(), when
  // a run lies past the volume or names a cluster already claimed.
  [[nodiscard]] bool Claim(uint64_t position, const std::vector<ntfs::DataRun>& runs);

  // The whole check of a record in use (fixed-up bytes): every non-resident
  // attribute's runs checked and claimed, the walk ending at the end marker.
  [[nodiscard]] bool CheckRecord(uint64_t position, Bytes record);

  // Why the last check failed: one line that names the record.
  const std::string& Why() const { return why_; }
  // The clusters claimed so far, one bit per cluster.
  const std::vector<std::byte>& Claims() const { return claims_; }
  uint64_t ClustersInUse() const { return clustersInUse_; }
  uint64_t VolumeClusters() const { return volume_; }

 private:
  bool Fail(std::string why);

  uint64_t volume_;
  std::vector<std::byte> claims_;
  uint64_t clustersInUse_ = 0;
  std::string why_;
};

// One bit of a bitmap held as bytes (the $MFT's $BITMAP): false past its end.
bool BitmapBit(Bytes bitmap, uint64_t index);

}  // namespace stow::engine
