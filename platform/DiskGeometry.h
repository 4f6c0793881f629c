// The cylinder-head-sector geometry a disk reports. An NTFS boot sector records
// the heads and sectors per track of its disk; a volume whose boot sector lacks
// them cannot start Windows, so a format has to be told them.
#pragma once

#include <cstdint>
#include <string>

namespace stow::platform {

struct DiskGeometry {
  uint32_t heads = 0;
  uint32_t sectorsPerTrack = 0;
};

// 0 and the geometry of the disk that holds the device `path`; otherwise the
// system error (a regular file, or a driver that reports none, as loop devices).
[[nodiscard]] int QueryDiskGeometry(const std::string& path, DiskGeometry& out);

}  // namespace stow::platform
