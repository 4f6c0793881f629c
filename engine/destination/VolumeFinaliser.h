// The last step of a copy or restore: leaving a consistent NTFS volume without
// a disk check.
//
// The writer has placed every run and rewritten the run lists in the
// destination's MFT. The finaliser then walks every record of the final MFT
// and, before it writes anything more, checks that every cluster a run list
// names lies inside the volume and is named once, that every attribute's runs
// cover its VCNs, and that every run list of a copied record was rewritten by
// this task. Only then does it write what follows from the records:
//   - the $MFT's $BITMAP: exactly the records in use, sized for the $MFT;
//   - the cluster bitmap: exactly the clusters the run lists use (what the
//     destination's replaced metadata used is thereby freed);
//   - $Bitmap and the $MFT's $BITMAP moved when the new $MFT covers them;
//   - the $LogFile reset (filled with 0xFF) when it is not clean;
//   - the $MFTMirr (the first records of the MFT, where record 1 names it) and
//     the mirror field of the boot sector and of its backup.
// Anything it cannot make consistent fails the task instead.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/core/TaskError.h"
#include "support/Bytes.h"

namespace stow::engine {

class CDisk;
class DiskDestination;

// A run list rewritten by the writer: record number and attribute instance.
inline uint64_t AttributeKey(uint64_t record, uint16_t instance) {
  return (record << 16) | instance;
}

// TaskError::kNone when the destination was made consistent; else
// kDestinationInconsistent or kWriteFailed (logged). `destination` is the
// fix-up that works through `disk`, its bitmap loaded.
// `rewritten` holds the AttributeKey of every run list the writer replaced.
//
// The destination keeps its own record 0, which never has an attribute list;
// a record in use whose base reference names record 0 is an extension record
// of the source's $MFT and names extents the destination does not have. It is
// freed: replaced by the destination's own record of that number as formatted
// (`formatted`: records from 0 on, on-disk form) when that one is a plain
// record, else emptied and marked unused.
[[nodiscard]] TaskError FinaliseDestination(CDisk& disk, DiskDestination& destination,
                                            std::vector<uint64_t> rewritten, Bytes formatted = {});

// The state of a $LogFile as its first page shows it.
enum class LogFileState {
  kEmpty,  // never used or reset: no restart page (all 0xFF)
  kClean,  // a restart page that names no client, or says the volume is clean
  kDirty,  // anything else: a replay would be needed, or the page is not understood
};
LogFileState ClassifyLogFileStart(Bytes page);

}  // namespace stow::engine
