// Edits of destination file records that the copy and restore writer makes:
// encoding a data run, rewriting the run list of one non-resident attribute,
// the sizes of a non-resident attribute and the value of a resident one.
//
// These are pure functions over a 1,024-byte record in memory (fix-ups
// applied), so the writer, the tests and the fuzzer run the same code. The
// record comes from the source volume and is hostile: every edit is checked
// against the record, and an edit that does not fit leaves the record as it
// was and says why instead of writing past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/Bytes.h"

namespace stow::engine {

// The bytes of one encoded run: a header byte, up to 8 length bytes and up to
// 8 offset bytes.
inline constexpr size_t kMaxEncodedRun = 17;
inline constexpr size_t kBytesAllocatedOffset = 28;  // file record header, 32-bit

struct EncodedRun {
  std::array<std::byte, kMaxEncodedRun> bytes{};
  size_t size = 0;
};

// Encodes a run of `length` clusters whose start is `offset` clusters from the
// previous run's start; an offset of 0 makes a sparse run (no offset bytes).
// Each field takes the fewest bytes that keep its value and sign (a length is
// read back as signed by some readers, so it too keeps a clear top bit). False
// for a length of 0 or a field that needs more than 8 bytes.
[[nodiscard]] bool EncodeRun(int64_t offset, uint64_t length, EncodedRun& out);

enum class RecordEdit {
  kOk,
  kResident,     // the attribute with that instance is resident: nothing changed
  kNoAttribute,  // no attribute with that instance
  kMalformed,    // the record, the attribute or its run list is damaged
  kDoesNotFit,   // the edited record would outgrow its allocated bytes
  kNoRecord,     // the record cannot be fetched (not written, or its number does not match)
};
const char* RecordEditText(RecordEdit result);

// A change to the run list of one non-resident attribute.
struct RunListChange {
  uint16_t instance = 0;
  uint64_t firstCluster = 0;  // 0: a sparse run
  uint64_t clusterCount = 0;
  // Keep the existing runs and add one; otherwise the new run replaces them all.
  bool append = false;
  // When set (with a replacement), the three sizes and the last VCN follow the
  // new run: allocated = count x cluster bytes, last VCN = first VCN + count - 1;
  // data and initialised size take the values given.
  bool setSizes = false;
  uint64_t clusterBytes = 0;
  uint64_t dataSize = 0;
  uint64_t initializedSize = 0;
};

// Builds in `out` (1,024 bytes, fix-ups applied, like `record`) the record with
// the change made: the header, the attributes in order with the changed one
// rebuilt around its new run list, the end marker. Bytes in use follow the new
// layout. On anything but kOk, `out` is left empty.
[[nodiscard]] RecordEdit ChangeRunList(Bytes record, const RunListChange& change,
                                       std::vector<std::byte>& out);

// Sets the sizes of the non-resident attribute with `instance` in place.
[[nodiscard]] RecordEdit SetNonResidentSizes(MutableBytes record, uint16_t instance,
                                             uint64_t allocatedSize, uint64_t dataSize,
                                             uint64_t initializedSize);

// Replaces the value of the resident attribute with `instance` (the value may
// grow or shrink; the attributes after it move). Builds the new record in `out`.
[[nodiscard]] RecordEdit SetResidentValue(Bytes record, uint16_t instance, Bytes value,
                                          std::vector<std::byte>& out);

// The sum of the offsets of a run list (the starting cluster of its last
// non-sparse run), walking at most the bytes of `list`. False when a run
// reaches past the list or has a malformed header.
[[nodiscard]] bool SumRunOffsets(Bytes list, int64_t& sum, size_t& size);

}  // namespace stow::engine
