#include "engine/check/VolumeCheck.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "engine/ntfs/ClusterBitmap.h"
#include "support/Format.h"
#include "support/Log.h"

namespace stow::engine {
namespace {

constexpr uint64_t kBitsPerByte = 8;

}  // namespace

VolumeCheck::VolumeCheck(uint64_t volumeClusters)
    : volume_(volumeClusters),
      claims_(volumeClusters / kBitsPerByte + (volumeClusters % kBitsPerByte != 0 ? 1 : 0)) {}

bool VolumeCheck::Fail(std::string why) {
  why_ = std::move(why);
  return false;
}

RecordUse VolumeCheck::ExamineRecord(uint64_t position, Bytes onDisk, bool markedInUse,
                                     std::vector<std::byte>& record) {
  // The flags lie outside the blocks' last two bytes: the fix-up does not touch them.
  const bool flagged = ntfs::RecordInUse(onDisk);
  if (!ntfs::HasFileSignature(onDisk)) {
    if (!(flagged && markedInUse)) return RecordUse::kUnused;
    Fail(FormatString("MFT record %" PRIu64 " is in use but has no \"FILE\" signature", position));
    return RecordUse::kDamaged;
  }
  if (!flagged) return RecordUse::kUnused;
  record.assign(onDisk.begin(), onDisk.end());
  if (!ntfs::ApplyFixupChecked(record)) {
    Fail(FormatString("MFT record %" PRIu64
                " was not written whole (its update sequence does not match its blocks)",
                position));
    return RecordUse::kDamaged;
  }
  if (!ntfs::RecordNumberAgrees(record, position)) {
    Fail(FormatString("MFT record %" PRIu64 " carries the number %" PRIu32 " in its header", position,
                ntfs::RecordNumberField(record)));
    return RecordUse::kDamaged;
  }
  return RecordUse::kInUse;
}

bool VolumeCheck::CheckRuns(uint64_t position, const ntfs::Attribute& a, CheckedRuns& out) {
  out.runs.clear();
  const ntfs::RunListError error = ntfs::DecodeAttributeRuns(a.bytes, out.runs);
  if (!ntfs::ReadNonResidentHeader(a.bytes, out.header) || error != ntfs::RunListError::kNone) {
    return Fail(FormatString("MFT record %" PRIu64
                       ", attribute %u (type 0x%X): its run list is damaged: %s",
                       position, unsigned{a.instance}, a.type, ntfs::RunListErrorText(error)));
  }
  if (out.runs.empty()) return true;
  const ntfs::NonResidentHeader& h = out.header;
  const uint64_t clusters = out.runs.back().vcn + out.runs.back().length - h.firstVcn;
  if (h.lastVcn < h.firstVcn || h.lastVcn - h.firstVcn + 1 != clusters) {
    return Fail(FormatString("MFT record %" PRIu64 ", attribute %u (type 0x%X): its runs cover %" PRIu64
                       " clusters, its header VCNs %" PRIu64 "..%" PRIu64,
                       position, unsigned{a.instance}, a.type, clusters, h.firstVcn, h.lastVcn));
  }
  return true;
}

bool VolumeCheck::Claim(uint64_t position, const std::vector<ntfs::DataRun>& runs) {
  for (const ntfs::DataRun& run : runs) {
    if (run.sparse) continue;
    if (run.lcn >= volume_ || run.length > volume_ - run.lcn) {
      return Fail(FormatString("MFT record %" PRIu64 " names clusters %" PRIu64 "..%" PRIu64
                         " past the volume's %" PRIu64,
                         position, run.lcn, run.lcn + run.length - 1, volume_));
    }
    if (AnyClusterBit(claims_, run.lcn, run.length)) {
      uint64_t c = run.lcn;
      while (!ClusterBit(claims_, c)) ++c;
      return Fail(FormatString("cluster %" PRIu64 " is named twice (again by MFT record %" PRIu64 ")", c,
                         position));
    }
    SetClusterBits(claims_, volume_, run.lcn, run.length);
    clustersInUse_ += run.length;
  }
  return true;
}

bool VolumeCheck::CheckRecord(uint64_t position, Bytes record) {
  ntfs::AttributeWalker walk(record);
  CheckedRuns checked;
  for (ntfs::Attribute a; walk.Next(a);) {
    if (!a.nonResident) continue;
    if (!CheckRuns(position, a, checked) || !Claim(position, checked.runs)) return false;
  }
  if (walk.End() != ntfs::WalkEnd::kEndMarker) {
    return Fail(FormatString("MFT record %" PRIu64 ": %s", position, ntfs::WalkEndText(walk.End())));
  }
  return true;
}

bool BitmapBit(Bytes bitmap, uint64_t index) {
  if (index / kBitsPerByte >= bitmap.size()) return false;
  return ((static_cast<unsigned>(bitmap[index / kBitsPerByte]) >> (index % kBitsPerByte)) & 1u) !=
         0;
}

}  // namespace stow::engine
