// Placeholder: partition tables are being written.
#include "engine/Disk.h"

namespace stow::engine {
int CDisk::ReadPartitionTable(std::vector<PartitionTableEntry>&) { return kDiskNoDevice; }
int CDisk::SetActivePartition(unsigned) { return kDiskNoDevice; }
}  // namespace stow::engine
