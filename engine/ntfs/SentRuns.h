// What a backup (and a copy) sends of a source volume's file records: which
// records, which of their attributes and which runs, in which order. The
// partition reader sends by this walk, the image size is counted by it, and the
// image survey checks an image against it, so the three cannot disagree.
//
// The stream holds, for every record in ascending number that is in use, the
// runs of its non-resident attributes in record order, each attribute's runs in
// run-list order with sparse runs included. Records 6 ($Bitmap), 7 ($Boot) and
// 8 ($BadClus) are never sent, and of record 0 ($MFT) only its unnamed $DATA is.
#pragma once

#include <cstdint>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"

namespace stow::engine {

inline constexpr uint64_t kSentMftRecord = 0;
// Slots and block records carry 16-bit run indices.
inline constexpr uint32_t kMaxSentRunIndex = UINT16_MAX;

// $Bitmap, $Boot and $BadClus: the destination has its own, and $BadClus's
// $Bad stream spans the whole volume.
constexpr bool IsUnsentRecord(uint64_t record) { return record == 6 || record == 7 || record == 8; }

// Judges record `n` of the $MFT in on-disk form as the reader does and applies
// its fix-up in place: true when its attributes are sent. A record is sent when
// it is not one of 6 to 8, its number field (where the header has one) names
// `n`, its update sequence array fits, and it has the "FILE" signature and the
// in-use flag. Attributes are then taken as AttributeWalker finds them.
[[nodiscard]] bool TakeSentRecord(uint64_t n, MutableBytes record);

enum class SentWalk { kGoOn, kStopped, kFailed };

// One run as the reader sends it: a sparse run as one slot without data, any
// other run as its clusters.
struct SentRun {
  uint16_t instance = 0;
  uint16_t index = 0;
  bool sparse = false;
  uint64_t firstCluster = 0;
  uint64_t clusters = 0;
};

// Visits the runs sent for one attribute (its exact bytes) of `record`, in
// order, until `visit` returns anything but kGoOn. A resident attribute (or one
// whose non-resident header cannot be read) sends nothing, nor does any
// attribute of record 0 but its unnamed $DATA. A run of no clusters that is not
// sparse sends nothing but keeps its index. A run list that cannot be walked
// gives kFailed with `why` set: the reader then fails, so no image holds that
// record.
// Runs must lie inside `volumeClusters`; a caller without a volume passes
// UINT64_MAX / clusterSize, which keeps every run's bytes within 64 bits.
template <typename Visit>
[[nodiscard]] SentWalk VisitSentRuns(uint64_t record, Bytes attribute, uint64_t volumeClusters,
                                     uint64_t clusterSize, const char*& why, Visit&& visit) {
  ntfs::NonResidentHeader header;
  if (!ntfs::ReadNonResidentHeader(attribute, header)) return SentWalk::kGoOn;  // resident
  const ByteView view(attribute);
  if (record == kSentMftRecord && (view.U32(ntfs::kAttrTypeOffset) != ntfs::kAttrData ||
                                   view.U8(ntfs::kAttrNameLengthOffset) != 0)) {
    return SentWalk::kGoOn;
  }
  if (header.runListOffset >= attribute.size()) return SentWalk::kGoOn;
  const Bytes list = attribute.subspan(header.runListOffset);
  SentRun sent;
  sent.instance = view.U16(ntfs::kAttrInstanceOffset);
  uint32_t runIndex = 0;
  int64_t cluster = 0;
  for (size_t position = 0;; ++runIndex) {
    ntfs::RunHeader run;
    const ntfs::RunStatus status = ntfs::DecodeRunHeader(list, position, run);
    if (status == ntfs::RunStatus::kEnd) return SentWalk::kGoOn;
    if (status != ntfs::RunStatus::kRun || runIndex > kMaxSentRunIndex) {
      why = "its run list is damaged";
      return SentWalk::kFailed;
    }
    position += run.size;
    sent.index = static_cast<uint16_t>(runIndex);
    // A run without a change of starting cluster names no clusters: sparse.
    if (run.sparse || run.offset == 0) {
      if (run.length > UINT64_MAX / clusterSize) {
        why = "a sparse run is longer than any volume";
        return SentWalk::kFailed;
      }
      sent.sparse = true;
      sent.firstCluster = 0;
      sent.clusters = run.length;
    } else {
      if (__builtin_add_overflow(cluster, run.offset, &cluster) || cluster < 0) {
        why = "a run starts before the volume";
        return SentWalk::kFailed;
      }
      if (run.length == 0) continue;
      const auto first = static_cast<uint64_t>(cluster);
      if (first >= volumeClusters || run.length > volumeClusters - first) {
        why = "a run lies outside the volume";
        return SentWalk::kFailed;
      }
      sent.sparse = false;
      sent.firstCluster = first;
      sent.clusters = run.length;
    }
    const SentWalk next = visit(sent);
    if (next != SentWalk::kGoOn) return next;
  }
}

}  // namespace stow::engine
