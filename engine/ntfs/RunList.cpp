#include "engine/ntfs/RunList.h"

#include <limits>

#include "engine/ntfs/FileRecord.h"
#include "support/Enums.h"

namespace stow::engine::ntfs {
namespace {

constexpr uint8_t kLengthBytesMask = 0x0F;
constexpr unsigned kOffsetBytesShift = 4;
constexpr uint64_t kMaxCluster = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());

uint64_t LoadUnsigned(ByteView list, size_t position, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes; ++i) value |= uint64_t{list.U8(position + i)} << (8 * i);
  return value;
}

// Sign-extends from the top bit of the last byte.
int64_t LoadSigned(ByteView list, size_t position, size_t bytes) {
  uint64_t value = LoadUnsigned(list, position, bytes);
  if (bytes > 0 && bytes < 8 && (value >> (8 * bytes - 1)) != 0) {
    value |= ~uint64_t{0} << (8 * bytes);
  }
  return static_cast<int64_t>(value);
}

}  // namespace

RunStatus DecodeRunHeader(Bytes list, size_t position, RunHeader& out) {
  const ByteView view(list);
  if (!view.Contains(position, 1)) return RunStatus::kEnd;
  const uint8_t header = view.U8(position);
  if (header == 0) return RunStatus::kEnd;
  const size_t lengthBytes = header & kLengthBytesMask;
  const size_t offsetBytes = header >> kOffsetBytesShift;
  if (lengthBytes == 0 || lengthBytes > kMaxRunFieldBytes || offsetBytes > kMaxRunFieldBytes) {
    return RunStatus::kBadHeader;
  }
  if (!view.Contains(position + 1, lengthBytes + offsetBytes)) return RunStatus::kTruncated;
  out.length = LoadUnsigned(view, position + 1, lengthBytes);
  out.offset = LoadSigned(view, position + 1 + lengthBytes, offsetBytes);
  out.sparse = offsetBytes == 0;
  out.size = 1 + lengthBytes + offsetBytes;
  return RunStatus::kRun;
}

constexpr EnumLabel<RunListError> kRunListErrorLabels[] = {
    {RunListError::kNone, "no error"},
    {RunListError::kResident, "the attribute is resident"},
    {RunListError::kRunListOutside, "the run-list offset lies outside the attribute"},
    {RunListError::kRunOutside, "a run runs past the attribute"},
    {RunListError::kBadHeader, "a run header has no length bytes or more than 8 bytes per field"},
    {RunListError::kZeroLength, "a run has no clusters or a negative length"},
    {RunListError::kVcnOverflow, "the runs add up past the largest cluster number"},
    {RunListError::kLcnOutOfRange, "a run starts outside the range of cluster numbers"},
    {RunListError::kTooManyRuns, "too many runs"},
};

const char* RunListErrorText(RunListError error) { return LabelOf(kRunListErrorLabels, error); }

RunListError DecodeRuns(Bytes list, uint64_t firstVcn, std::vector<DataRun>& out) {
  if (firstVcn > kMaxCluster) return RunListError::kVcnOverflow;
  uint64_t vcn = firstVcn;
  int64_t lcn = 0;
  size_t position = 0;
  for (size_t count = 0;; ++count) {
    RunHeader run;
    const RunStatus status = DecodeRunHeader(list, position, run);
    if (status == RunStatus::kEnd) return RunListError::kNone;
    if (status == RunStatus::kTruncated) return RunListError::kRunOutside;
    if (status == RunStatus::kBadHeader) return RunListError::kBadHeader;
    if (count >= kMaxRunsPerList) return RunListError::kTooManyRuns;
    if (run.length == 0 || run.length > kMaxCluster) return RunListError::kZeroLength;
    if (run.length > kMaxCluster - vcn) return RunListError::kVcnOverflow;
    DataRun placed{vcn, run.length, 0, run.sparse};
    if (!run.sparse) {
      int64_t next = 0;
      if (__builtin_add_overflow(lcn, run.offset, &next) || next < 0) {
        return RunListError::kLcnOutOfRange;
      }
      lcn = next;
      if (run.length > kMaxCluster - static_cast<uint64_t>(lcn)) {
        return RunListError::kLcnOutOfRange;
      }
      placed.lcn = static_cast<uint64_t>(lcn);
    }
    out.push_back(placed);
    vcn += run.length;
    position += run.size;
  }
}

RunListError DecodeAttributeRuns(Bytes attribute, std::vector<DataRun>& out) {
  NonResidentHeader header;
  if (!ReadNonResidentHeader(attribute, header)) return RunListError::kResident;
  if (header.runListOffset < kNonResidentHeaderSize || header.runListOffset >= attribute.size()) {
    return RunListError::kRunListOutside;
  }
  return DecodeRuns(attribute.subspan(header.runListOffset), header.firstVcn, out);
}

uint64_t AllocatedClusters(const std::vector<DataRun>& runs) {
  uint64_t total = 0;
  for (const DataRun& run : runs) {
    if (run.sparse) continue;
    total = run.length > UINT64_MAX - total ? UINT64_MAX : total + run.length;
  }
  return total;
}

}  // namespace stow::engine::ntfs
