#include "engine/ntfs/SentRuns.h"

namespace stow::engine {

bool TakeSentRecord(uint64_t n, MutableBytes record) {
  if (IsUnsentRecord(n)) return false;
  // The number field lies before the first block end: it reads the same with
  // or without the fix-up.
  if (!ntfs::RecordNumberAgrees(record, n) || !ntfs::ApplyFixup(record)) return false;
  // A record that is not in use keeps the attributes of a deleted file.
  return ntfs::HasFileSignature(record) && ntfs::RecordInUse(record);
}

}  // namespace stow::engine
