// Feeds arbitrary bytes to the destination fix-up's pure parts: a 1,024-byte
// file record whose run list is changed (appended to, replaced, with sizes) and
// whose resident value is replaced, run encoding, the $LogFile's first page,
// and a cluster bitmap made into free extents that are reserved and allocated.
// Every result must keep the record well-formed and inside its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/destination/DiskDestinationExtents.h"
#include "engine/destination/DiskDestinationRecord.h"
#include "engine/destination/VolumeFinaliser.h"
#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/RunList.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::engine;

namespace {

constexpr size_t kRecordSize = 1024;
constexpr size_t kControlBytes = 24;

void Check(bool ok) {
  if (!ok) __builtin_trap();
}

// A record the edit produced must walk to its end marker inside its bytes, and
// the changed attribute's run list must decode.
void CheckEdited(const std::vector<std::byte>& out, const RunListChange& change) {
  Check(out.size() == kRecordSize);
  Check(ntfs::BytesInUse(out) <= kRecordSize);
  ntfs::AttributeWalker walk(out);
  for (ntfs::Attribute a; walk.Next(a);) {
    if (a.instance != change.instance || !a.nonResident) continue;
    std::vector<ntfs::DataRun> runs;
    Check(ntfs::DecodeAttributeRuns(a.bytes, runs) == ntfs::RunListError::kNone);
    Check(!runs.empty());
    const ntfs::DataRun& last = runs.back();
    Check(last.length == change.clusterCount);
    Check(last.sparse == (change.firstCluster == 0));
    if (!last.sparse) Check(last.lcn == change.firstCluster);
  }
  Check(walk.End() == ntfs::WalkEnd::kEndMarker);
}

void FuzzRecord(const uint8_t* control, Bytes record) {
  RunListChange change;
  change.instance = static_cast<uint16_t>(control[0] | (control[1] << 8));
  std::memcpy(&change.firstCluster, control + 2, 6);
  change.clusterCount = uint64_t{control[8]} | (uint64_t{control[9]} << 8) | 1;
  change.append = (control[10] & 1) != 0;
  change.setSizes = (control[10] & 2) != 0;
  change.clusterBytes = 4096;
  change.dataSize = change.clusterCount * 4096;
  change.initializedSize = change.dataSize;
  std::vector<std::byte> out;
  if (ChangeRunList(record, change, out) == RecordEdit::kOk) {
    CheckEdited(out, change);
    // Applied again to its own output, the edit must hold up as well.
    std::vector<std::byte> again;
    change.append = true;
    if (ChangeRunList(out, change, again) == RecordEdit::kOk) CheckEdited(again, change);
  } else {
    Check(out.empty());
  }
  const size_t valueLength = control[11] * 4u;
  std::vector<std::byte> value(valueLength, std::byte{0x5A});
  if (SetResidentValue(record, change.instance, value, out) == RecordEdit::kOk) {
    Check(out.size() == kRecordSize && ntfs::BytesInUse(out) <= kRecordSize);
  }
  std::vector<std::byte> copy(record.begin(), record.end());
  static_cast<void>(SetNonResidentSizes(copy, change.instance, 1, 2, 3));
  int64_t sum = 0;
  size_t size = 0;
  static_cast<void>(SumRunOffsets(record.subspan(control[12] % record.size()), sum, size));
}

void FuzzEncoding(const uint8_t* control) {
  int64_t offset = 0;
  uint64_t length = 0;
  std::memcpy(&offset, control + 12, 8);
  std::memcpy(&length, control + 4, 8);
  EncodedRun run;
  if (!EncodeRun(offset, length, run)) return;
  ntfs::RunHeader decoded;
  Check(ntfs::DecodeRunHeader(Bytes(run.bytes.data(), run.size), 0, decoded) ==
        ntfs::RunStatus::kRun);
  Check(decoded.length == length && decoded.offset == offset && decoded.size == run.size);
}

void FuzzExtents(const uint8_t* control, Bytes bitmap) {
  const uint64_t clusters = uint64_t{control[13]} * 64 + control[14];
  FreeExtentList list;
  list.Build(bitmap, clusters);
  for (const ClusterExtent& e : list.Extents()) {
    Check(e.clusterCount > 0 && e.End() <= clusters);
    Check(!AnyClusterBit(bitmap, e.firstCluster, e.clusterCount));
  }
  // Every clear bit is in exactly one extent.
  const uint64_t counted = std::min<uint64_t>(clusters, uint64_t{bitmap.size()} * 8);
  Check(list.FreeClusters() + CountClusterBits(bitmap, clusters) == counted);
  list.ReserveZone(control[15], control[16]);
  uint64_t first = 0;
  uint64_t granted = 0;
  for (int i = 0; i < 64 && list.Allocate(control[17] + 1u, first, granted); ++i) {
    Check(granted > 0 && granted <= control[17] + 1u && first + granted <= clusters);
  }
  std::vector<std::byte> bits(bitmap.begin(), bitmap.end());
  SetClusterBits(bits, clusters, control[18], control[19] * 3u);
  uint64_t stretch = 0;
  if (FindClearStretch(bits, clusters, control[20] + 1u, stretch)) {
    Check(!AnyClusterBit(bits, stretch, control[20] + 1u));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool quiet = [] {
    CLog::Instance().SetLevel(kLogOff);
    return true;
  }();
  (void)quiet;
  if (size < kControlBytes) return 0;
  const uint8_t* control = data;
  std::vector<std::byte> record(kRecordSize);
  const size_t body = std::min(size - kControlBytes, kRecordSize);
  std::memcpy(record.data(), data + kControlBytes, body);
  // The record is taken in its fixed-up form, as the record cache hands it out;
  // the seeds are on-disk records, so the fix-up is applied when it fits.
  static_cast<void>(ntfs::ApplyFixup(record));
  FuzzRecord(control, record);
  FuzzEncoding(control);
  FuzzExtents(control, Bytes(reinterpret_cast<const std::byte*>(data + kControlBytes),
                             size - kControlBytes));
  ClassifyLogFileStart(Bytes(reinterpret_cast<const std::byte*>(data), size));
  return 0;
}
