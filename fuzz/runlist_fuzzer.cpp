// Feeds arbitrary bytes to the run-list decoder, both as a bare run list and as
// the run list of a non-resident attribute whose header comes from the input,
// then maps the runs onto a volume.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/ntfs/FileRecord.h"
#include "engine/ntfs/MftLayout.h"
#include "engine/ntfs/RunList.h"
#include "support/Bytes.h"

using namespace stow;
using namespace stow::engine::ntfs;

namespace {

void CheckRuns(const std::vector<DataRun>& runs, uint64_t firstVcn) {
  uint64_t vcn = firstVcn;
  for (const DataRun& r : runs) {
    if (r.vcn != vcn || r.length == 0 || r.length > INT64_MAX - r.vcn) __builtin_trap();
    if (!r.sparse && (r.lcn > INT64_MAX || r.length > INT64_MAX - r.lcn)) __builtin_trap();
    if (r.sparse && r.lcn != 0) __builtin_trap();
    vcn += r.length;
  }
}

void MapRuns(const std::vector<DataRun>& runs, uint64_t clusterSize, uint64_t offset,
             uint64_t length) {
  std::vector<VolumeExtent> pieces;
  MapStreamRange(runs, clusterSize, offset, length, pieces);
  for (const VolumeExtent& p : pieces) {
    if (p.length == 0 || p.streamOffset < offset || p.streamOffset - offset + p.length > length) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Bytes input = AsBytes(data, size);
  const ByteView view(input);
  const uint64_t firstVcn = view.U64(0) >> (view.U8(8) % 64);
  std::vector<DataRun> runs;
  // Refused or not, whatever runs the decoder hands back must hold.
  static_cast<void>(DecodeRuns(input, firstVcn, runs));
  CheckRuns(runs, firstVcn);
  MapRuns(runs, uint64_t{512} << (view.U8(9) % 8), view.U32(10), view.U32(14));

  // The same bytes as a whole attribute: the header's run-list offset, first VCN and
  // length decide which part of the input is the run list.
  runs.clear();
  const RunListError error = DecodeAttributeRuns(input, runs);
  if (error == RunListError::kResident && !runs.empty()) __builtin_trap();
  NonResidentHeader header;
  if (ReadNonResidentHeader(input, header)) CheckRuns(runs, header.firstVcn);
  (void)RunListErrorText(error);
  (void)AllocatedClusters(runs);

  // Each header on its own, wherever it starts.
  for (size_t at = 0; at < std::min<size_t>(size, 64); ++at) {
    RunHeader run;
    if (DecodeRunHeader(input, at, run) == RunStatus::kRun && at + run.size > size) {
      __builtin_trap();
    }
  }
  return 0;
}
