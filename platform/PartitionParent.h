// Where a partition device lies: the whole disk that holds it and its first
// sector there. Answered from sysfs here (the partition's "start" and its
// parent folder), from the volume and disk control codes on Windows.
#pragma once

#include <cstdint>
#include <string>

namespace stow::platform {

struct PartitionPlacement {
  std::string diskPath;      // "/dev/sdb" for "/dev/sdb2"
  uint64_t startSector = 0;  // in 512-byte units, whatever the disk's sector size
  uint32_t partitionNumber = 0;
};

// 0 and `out` filled; ENOTBLK for a path that is no block device (a regular
// file standing in for a volume), EINVAL for a whole disk (no partition), or
// another system error.
[[nodiscard]] int QueryPartitionPlacement(const std::string& partitionPath,
                                          PartitionPlacement& out);

}  // namespace stow::platform
