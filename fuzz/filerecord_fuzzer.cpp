// Feeds arbitrary bytes to the file-record parsers as one 1,024-byte record: the
// update sequence fix-up and its inverse, the attribute walk, the run lists of
// every non-resident attribute, the $MFT's data and an attribute list value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Log.h"

using namespace stow;
using namespace stow::engine::ntfs;

namespace {

constexpr size_t kRecordSize = 1024;

void CheckRuns(const std::vector<DataRun>& runs) {
  for (size_t i = 0; i < runs.size(); ++i) {
    const DataRun& r = runs[i];
    if (r.length == 0 || r.vcn + r.length < r.vcn) __builtin_trap();
    if (i > 0 && runs[i - 1].vcn + runs[i - 1].length != r.vcn) __builtin_trap();
    if (!r.sparse && r.lcn + r.length < r.lcn) __builtin_trap();
  }
}

void WalkRecord(Bytes record) {
  AttributeWalker walk(record);
  size_t count = 0;
  for (Attribute a; walk.Next(a);) {
    if (a.offset + a.length > record.size() || a.bytes.size() != a.length) __builtin_trap();
    if (++count > record.size() / 24) __builtin_trap();
    std::vector<DataRun> runs;
    if (a.nonResident) {
      // Refused or not, whatever runs the decoder hands back must hold.
      static_cast<void>(DecodeAttributeRuns(a.bytes, runs));
      CheckRuns(runs);
      std::vector<VolumeExtent> pieces;
      MapStreamRange(runs, 4096, 0, uint64_t{1} << 40, pieces);
    } else if (a.type == kAttrAttributeList) {
      Bytes value;
      std::vector<AttributeListEntry> entries;
      if (ResidentValue(a.bytes, value)) static_cast<void>(ParseAttributeList(value, entries));
    }
  }
  MftData data;
  static_cast<void>(FindMftData(record, data));
  CheckRuns(data.runs);
  Bytes extent;
  static_cast<void>(FindExtent(record, kAttrData, 0, extent));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  CLog::Instance().SetLevel(kLogOff);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::byte> record(kRecordSize);
  std::memcpy(record.data(), data, std::min(size, kRecordSize));

  // The record as read: fix-up, which must be repeatable, then the walk.
  std::vector<std::byte> fixed = record;
  if (ApplyFixup(fixed)) {
    std::vector<std::byte> twice = fixed;
    if (!ApplyFixup(twice) || twice != fixed) __builtin_trap();
    // Back to on-disk form and fixed up again gives the same record.
    std::vector<std::byte> disk = fixed;
    if (!UndoFixupWhereApplied(disk) || !ApplyFixup(disk) || disk != fixed) __builtin_trap();
    static_cast<void>(UndoFixup(twice));
  }
  WalkRecord(fixed);
  WalkRecord(record);
  (void)RecordNumberField(record);
  (void)RecordInUse(record);
  return 0;
}
