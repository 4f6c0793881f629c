// The partition table of a whole disk, read and changed through its DiskDevice:
// the MBR with its EBR chain or the GPT, and the active flag of the MBR's
// primary entries. The sectors are parsed by PartitionTableParser.h.
#pragma once

#include <vector>

#include "engine/disk/DiskDevice.h"
#include "engine/disk/PartitionTable.h"

namespace stow::engine {

// Appends the disk's partitions to `out`: kOk for an MBR disk (its primary
// entries, then the logical ones of each extended partition), kIsGpt with the
// GPT's used entries, else why the table cannot be listed (kNoPartitionTable,
// kBadTable for a hostile table, a read failure). `out` may hold the entries
// read before a failure.
[[nodiscard]] DiskResult ReadPartitionTable(DiskDevice& disk,
                                            std::vector<PartitionTableEntry>& out);

// Marks primary entry `index` of the MBR active and the other three inactive,
// and writes sector 0 back under the disk's lock: kOk, or why not (kIsGpt,
// kNoSuchEntry, kNoPartitionTable, kLockFailedForTable, kWriteFailed, a read
// failure).
[[nodiscard]] DiskResult SetActivePartition(DiskDevice& disk, unsigned index);

}  // namespace stow::engine
