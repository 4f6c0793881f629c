// NTFS data runs: where the clusters of a non-resident attribute lie.
//
// A run list is a sequence of runs, each a header byte h followed by h & 0x0F
// bytes of length (unsigned) and h >> 4 bytes of offset (signed, relative to the
// previous run's starting cluster); a header byte 0 ends the list. A run without
// offset bytes is sparse: it names no clusters and reads as zeros.
//
// The list comes from the disk: every run must lie inside its attribute, lengths
// and offsets are at most 8 bytes, and the cluster arithmetic is checked so that a
// hostile list yields an error instead of an overflow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/Bytes.h"

namespace stow::engine::ntfs {

inline constexpr size_t kMaxRunFieldBytes = 8;

// One run as the header encodes it.
struct RunHeader {
  uint64_t length = 0;  // clusters
  int64_t offset = 0;   // change of the starting cluster; 0 when there are no offset bytes
  bool sparse = false;  // no offset bytes
  size_t size = 0;      // header byte plus its length and offset bytes
};

enum class RunStatus {
  kRun,        // `out` holds the run; the next one starts `out.size` bytes later
  kEnd,        // header byte 0, or no bytes left
  kTruncated,  // the length or offset bytes run past the list
  kBadHeader,  // no length bytes, or more than 8 length or offset bytes
};

// Decodes the run whose header byte is at `position` of `list`.
[[nodiscard]] RunStatus DecodeRunHeader(Bytes list, size_t position, RunHeader& out);

// One run placed on the volume.
struct DataRun {
  uint64_t vcn = 0;     // first cluster within the attribute
  uint64_t length = 0;  // clusters
  uint64_t lcn = 0;     // first cluster on the volume; 0 for a sparse run
  bool sparse = false;
};

enum class RunListError {
  kNone,
  kResident,        // the attribute has no run list
  kRunListOutside,  // the run-list offset lies outside the attribute or inside its header
  kRunOutside,      // a run's bytes run past the attribute
  kBadHeader,       // a run header with no length bytes or more than 8 bytes per field
  kZeroLength,      // a run of 0 clusters, or a negative length
  kVcnOverflow,     // the clusters add up past what a 63-bit VCN can hold
  kLcnOutOfRange,   // a starting cluster below 0 or past what a 63-bit LCN can hold
  kTooManyRuns,
};

const char* RunListErrorText(RunListError error);

// Upper bound on runs decoded from one list; a 1,024-byte record cannot hold more.
inline constexpr size_t kMaxRunsPerList = 4096;

// Decodes a raw run list whose first run starts at `firstVcn`. Runs decoded before
// an error stay in `out`.
[[nodiscard]] RunListError DecodeRuns(Bytes list, uint64_t firstVcn, std::vector<DataRun>& out);

// Decodes the run list of a non-resident attribute (the exact attribute bytes): the
// run-list offset must lie inside the attribute past its header, every run inside
// the attribute, and the first run starts at the attribute's first VCN.
[[nodiscard]] RunListError DecodeAttributeRuns(Bytes attribute, std::vector<DataRun>& out);

// The clusters of `runs` that are not sparse, saturating instead of overflowing.
uint64_t AllocatedClusters(const std::vector<DataRun>& runs);

}  // namespace stow::engine::ntfs
